#include "csvreader/Csvreader.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <istream>
#include <limits>
#include <stdexcept>
#include <streambuf>
#include <type_traits>
#include <vector>

#include "base/bits.h"

#if GRIDLOOM_HAVE_SSE2
#include <emmintrin.h>
#include <tmmintrin.h>
#endif

namespace gridloom {
namespace {

using Traits = std::char_traits<char>;

// The get area of any stream buffer, for bulk scans. The language lets a derived class form
// pointers to the protected members of its base, and those apply to every stream buffer.
struct GetArea : std::streambuf {
  static char* Next(std::streambuf& buffer) { return (buffer.*&GetArea::gptr)(); }
  static char* End(std::streambuf& buffer) { return (buffer.*&GetArea::egptr)(); }
  static void Skip(std::streambuf& buffer, std::size_t count) {
    while (count > 0) {
      const int step = count > INT_MAX ? INT_MAX : static_cast<int>(count);
      (buffer.*&GetArea::gbump)(step);
      count -= static_cast<std::size_t>(step);
    }
  }
};

bool EndsPlainRun(char c) { return c == ',' || c == '\r' || c == '\n'; }

#if GRIDLOOM_HAVE_SSE2
__m128i Load16(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
void Store16(char* p, __m128i bytes) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), bytes); }

// Bit i is set when byte i ends a plain field: a comma, CR or LF.
unsigned PlainStops(__m128i chunk) {
  const __m128i hits = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(chunk, _mm_set1_epi8(',')),
                   _mm_cmpeq_epi8(chunk, _mm_set1_epi8('\r'))),
      _mm_cmpeq_epi8(chunk, _mm_set1_epi8('\n')));
  return static_cast<unsigned>(_mm_movemask_epi8(hits));
}

unsigned Quotes(__m128i chunk) {
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, _mm_set1_epi8('"'))));
}
#endif

// The scans of the byte-by-byte reader come in two kinds: 16 bytes at a time with SSE2
// (kSimd), and one byte at a time, which defines what the other finds.

// The first byte in [p, end) that ends a plain field: a comma, CR or LF.
template <bool kSimd>
const char* FindPlainStop(const char* p, const char* end) {
#if GRIDLOOM_HAVE_SSE2
  if constexpr (kSimd) {
    for (; end - p >= 16; p += 16) {
      if (const unsigned mask = PlainStops(Load16(p))) return p + __builtin_ctz(mask);
    }
  }
#endif
  while (p < end && !EndsPlainRun(*p)) ++p;
  return p;
}

const char* FindQuote(const char* p, const char* end) {
  const void* hit = std::memchr(p, '"', static_cast<std::size_t>(end - p));
  return hit ? static_cast<const char*>(hit) : end;
}

// The three stream operations the reader uses: look ahead (never sets a flag), take (a failed
// take sets the end-of-file and fail flags), and the flags; plus bulk takes of data runs.
template <bool kSimd>
class Input {
 public:
  explicit Input(std::istream& stream) : stream_(stream), buffer_(stream.rdbuf()) {}

  bool AtEnd() const { return stream_.eof(); }

  int Peek() {
    if (buffer_ == nullptr || !stream_.good()) return Traits::eof();
    try {
      return buffer_->sgetc();
    } catch (...) {
      stream_.setstate(std::ios::badbit);
      return Traits::eof();
    }
  }

  bool Take(char& byte) {
    int c = Traits::eof();
    if (buffer_ != nullptr && stream_.good()) {
      try {
        c = buffer_->sbumpc();
      } catch (...) {
        stream_.setstate(std::ios::badbit);
      }
    }
    if (Traits::eq_int_type(c, Traits::eof())) {
      stream_.setstate(std::ios::eofbit | std::ios::failbit);
      return false;
    }
    byte = Traits::to_char_type(c);
    return true;
  }

  void Skip() {  // only after a Peek that saw a byte
    try {
      buffer_->sbumpc();
    } catch (...) {
      stream_.setstate(std::ios::badbit);
    }
  }

  // Takes a line terminator (LF, CR, or CR LF) if one is next.
  bool IsEndOfLine() {
    if (AtEnd()) return false;
    const int c = Peek();
    if (c == '\n') {
      Skip();
      return true;
    }
    if (c == '\r') {
      Skip();
      if (Peek() == '\n') Skip();
      return true;
    }
    return false;
  }

  // Reads the fields that end within the buffered bytes in one go: they are appended to
  // fields, and their commas and line end are taken. Answers true when the record has ended;
  // false when it stopped, having taken what it read, at a line end where a field would start
  // or before a field that runs past the buffer.
  bool FieldsInBuffer(FieldBuffer& fields) {
    if (buffer_ == nullptr || !stream_.good()) return false;
    const char* const begin = GetArea::Next(*buffer_);
    const char* const end = GetArea::End(*buffer_);
    // The text is never longer than the bytes; block copies write up to 16 bytes past it.
    fields.Reserve(static_cast<std::size_t>(end - begin) + 16, 0);
    const char* p = begin;  // where the next field starts
    bool ended = false;
    while (!ended && p != end && *p != '\r' && *p != '\n') {
      const char* stop;  // the comma or line end after the field
      if (*p != '"') {
        stop = PlainFieldEnd(p, end, fields);
        if (stop == nullptr) break;
      } else {
        stop = QuotedFieldEnd(p + 1, end, fields);
        if (stop == nullptr) break;
      }
      fields.EndField();
      ended = *stop != ',';
      p = stop + 1;
    }
    GetArea::Skip(*buffer_, static_cast<std::size_t>(p - begin));
    if (ended && p[-1] == '\r' && Peek() == '\n') Skip();
    return ended;
  }

  // The two below append the text of a field to fields (room reserved for the bytes up to
  // end and 16 more) and answer where the comma or line end after it stands, or null (the
  // text as it was) when the field does not end within [p, end).

  // A plain field from p.
  static const char* PlainFieldEnd(const char* p, const char* end, FieldBuffer& fields) {
    const std::size_t mark = fields.Text().size();
#if GRIDLOOM_HAVE_SSE2
    if constexpr (kSimd) {
      for (; end - p >= 16; p += 16) {
        const __m128i chunk = Load16(p);
        Store16(fields.TextEnd(), chunk);
        if (const unsigned mask = PlainStops(chunk)) {
          fields.Extend(static_cast<unsigned>(__builtin_ctz(mask)));
          return p + __builtin_ctz(mask);
        }
        fields.Extend(16);
      }
    }
#endif
    const char* stop = FindPlainStop<kSimd>(p, end);
    if (stop == end) {
      fields.Truncate(mark);
      return nullptr;
    }
    fields.Append(p, static_cast<std::size_t>(stop - p));
    return stop;
  }

  // A quoted field from p, after its opening quote.
  static const char* QuotedFieldEnd(const char* p, const char* end, FieldBuffer& fields) {
    const std::size_t mark = fields.Text().size();
    for (;;) {
      const char* quote;
#if GRIDLOOM_HAVE_SSE2
      if (kSimd && end - p >= 16) {
        const __m128i chunk = Load16(p);
        Store16(fields.TextEnd(), chunk);
        const unsigned mask = Quotes(chunk);
        if (mask == 0) {
          fields.Extend(16);
          p += 16;
          continue;
        }
        quote = p + __builtin_ctz(mask);
        fields.Extend(static_cast<std::size_t>(quote - p));
      } else
#endif
      {
        quote = FindQuote(p, end);
        fields.Append(p, static_cast<std::size_t>(quote - p));
      }
      if (end - quote < 2) {  // the quote, or the byte after it, is not buffered
        fields.Truncate(mark);
        return nullptr;
      }
      const char next = quote[1];
      if (next == ',' || next == '\r' || next == '\n') return quote + 1;
      // A quote inside the field stays, with the byte after it.
      if (next != '"') fields.Append('"');
      fields.Append(next);
      p = quote + 2;
    }
  }

  // Takes the bytes before the first one that find stops at and appends them to out. Answers
  // that byte, not taken, or eof.
  template <const char* (*Find)(const char*, const char*)>
  int TakeRun(FieldBuffer& out) {
    for (;;) {
      const int next = Peek();
      if (Traits::eq_int_type(next, Traits::eof())) return next;
      char* begin = GetArea::Next(*buffer_);
      char* end = GetArea::End(*buffer_);
      if (begin == end) {  // an unbuffered stream: one byte at a time
        const char c = Traits::to_char_type(next);
        if (Find(&c, &c + 1) == &c) return next;
        out.Reserve(1, 0);
        out.Append(c);
        Skip();
        continue;
      }
      const char* stop = Find(begin, end);
      out.Reserve(static_cast<std::size_t>(stop - begin), 0);
      out.Append(begin, static_cast<std::size_t>(stop - begin));
      GetArea::Skip(*buffer_, static_cast<std::size_t>(stop - begin));
      if (stop != end) return static_cast<unsigned char>(*stop);
    }
  }

 private:
  std::istream& stream_;
  std::streambuf* buffer_;
};

// Reads a field that did not start with a quote; answers whether the record has ended.
template <bool kSimd>
bool ReadPlainField(Input<kSimd>& input, FieldBuffer& field) {
  input.template TakeRun<FindPlainStop<kSimd>>(field);
  char byte;
  if (!input.Take(byte)) return true;  // the end of the data
  if (byte == ',') return false;
  if (byte == '\r' && input.Peek() == '\n') input.Skip();
  return true;  // CR or LF: the terminator is taken
}

// Reads a quoted field after its opening quote; answers whether the record has ended.
template <bool kSimd>
bool ReadQuotedField(Input<kSimd>& input, FieldBuffer& field) {
  for (;;) {
    input.template TakeRun<FindQuote>(field);
    char byte;
    if (!input.Take(byte)) return true;  // an unclosed field runs to the end of the data
    // byte is a quote: it closes the field before a line end, a comma or the end of the data
    if (input.IsEndOfLine()) return true;
    if (!input.Take(byte)) return true;
    if (byte == ',') return false;
    field.Reserve(2, 0);
    if (byte != '"') field.Append('"');
    field.Append(byte);
  }
}

// The bulk reads work on blocks as wide as the build's registers: 64 bytes with 64-bit masks,
// 32 bytes in 32-bit builds, where a 64-bit mask would take two registers.
using Mask = std::conditional_t<(sizeof(std::size_t) >= 8), std::uint64_t, std::uint32_t>;
constexpr unsigned kBlock = CSVReader::kBulkBlock;
static_assert(kBlock == 8 * sizeof(Mask));
// A block is read where the 16 bytes after it are data too (the look at its next byte).
constexpr std::ptrdiff_t kBlockReach = kBlock + 16;

// Where the bytes of a block are quotes, commas, CRs, LFs, ampersands and angle brackets: bit
// i for byte i.
struct BlockMasks {
  Mask quote = 0, comma = 0, cr = 0, lf = 0, amp = 0, angle = 0, nul = 0;
};

[[gnu::always_inline]] inline BlockMasks PlainMasks(const char* p) {
  BlockMasks m;
  for (unsigned i = 0; i < kBlock; ++i) {
    const Mask bit = Mask{1} << i;
    switch (p[i]) {
      case '"': m.quote |= bit; break;
      case ',': m.comma |= bit; break;
      case '\r': m.cr |= bit; break;
      case '\n': m.lf |= bit; break;
      case '&': m.amp |= bit; break;
      case '<': case '>': m.angle |= bit; break;
      case '\0': m.nul |= bit; break;
      default: break;
    }
  }
  return m;
}

// Where the bytes of a block are lead bytes, and below 0x40.
struct LeadMasks {
  Mask lead = 0, low = 0;
};

LeadMasks PlainLeadMasks(const char* p, const LeadBytes& leads) {
  LeadMasks m;
  for (unsigned i = 0; i < kBlock; ++i) {
    const auto byte = static_cast<unsigned char>(p[i]);
    m.lead |= Mask{leads[byte]} << i;
    m.low |= Mask{byte < 0x40} << i;
  }
  return m;
}

#if GRIDLOOM_HAVE_SSE2
[[gnu::always_inline]] inline BlockMasks Sse2Masks(const char* p) {
  BlockMasks m;
  for (unsigned i = 0; i < kBlock; i += 16) {
    const __m128i chunk = Load16(p + i);
    const auto bits = [chunk](char byte) {
      return Mask{static_cast<unsigned>(
          _mm_movemask_epi8(_mm_cmpeq_epi8(chunk, _mm_set1_epi8(byte))))};
    };
    m.quote |= bits('"') << i;
    m.comma |= bits(',') << i;
    m.cr |= bits('\r') << i;
    m.lf |= bits('\n') << i;
    m.amp |= bits('&') << i;
    m.angle |= (bits('<') | bits('>')) << i;
    m.nul |= bits('\0') << i;
  }
  return m;
}

[[gnu::always_inline]] inline LeadMasks Sse2LeadMasks(const char* p, const LeadBytes& leads) {
  if (!leads.Ranged()) return PlainLeadMasks(p, leads);
  LeadMasks m;
  __m128i shift[2], limit[2];
  for (int r = 0; r < 2; ++r) {  // [from, to] moved to start at -128, for a signed compare
    shift[r] = _mm_set1_epi8(static_cast<char>(0x80 - leads.From(r)));
    limit[r] = _mm_set1_epi8(static_cast<char>(-128 + (leads.To(r) - leads.From(r)) + 1));
  }
  for (unsigned i = 0; i < kBlock; i += 16) {
    const __m128i chunk = Load16(p + i);
    const __m128i lead =
        _mm_or_si128(_mm_cmplt_epi8(_mm_add_epi8(chunk, shift[0]), limit[0]),
                     _mm_cmplt_epi8(_mm_add_epi8(chunk, shift[1]), limit[1]));
    const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(chunk, _mm_set1_epi8(0x3F)), chunk);
    m.lead |= Mask{static_cast<unsigned>(_mm_movemask_epi8(lead))} << i;
    m.low |= Mask{static_cast<unsigned>(_mm_movemask_epi8(low))} << i;
  }
  return m;
}
#endif

// Bit i is the parity of bits 0 to i.
Mask PrefixXor(Mask bits) {
  for (unsigned shift = 1; shift < kBlock; shift *= 2) bits ^= bits << shift;
  return bits;
}

class MemoryBuffer : public std::streambuf {
 public:
  MemoryBuffer(const char* text, std::size_t size) {
    char* begin = const_cast<char*>(text);  // the get area is only read
    setg(begin, begin, begin + size);
  }
};

}  // namespace

FieldBuffer::FieldBuffer(const FieldBuffer& other) {
  Reserve(other.bytes_, other.count_);
  Append(other.text_.get(), other.bytes_);
  if (other.count_ > 0)
    std::memcpy(ends_.get(), other.ends_.get(), other.count_ * sizeof(FieldEnd));
  count_ = other.count_;
}

void FieldBuffer::Swap(FieldBuffer& other) noexcept {
  std::swap(text_, other.text_);
  std::swap(bytes_, other.bytes_);
  std::swap(textCapacity_, other.textCapacity_);
  std::swap(ends_, other.ends_);
  std::swap(count_, other.count_);
  std::swap(endsCapacity_, other.endsCapacity_);
}

void FieldBuffer::Reserve(std::size_t bytes, std::size_t fields) {
  if (bytes > std::numeric_limits<FieldEnd>::max() - bytes_)
    throw std::length_error("more field text than a record store holds");
  if (textCapacity_ - bytes_ < bytes) {
    const std::size_t capacity = std::max(bytes_ + bytes, 2 * textCapacity_);
    auto grown = std::make_unique_for_overwrite<char[]>(capacity);
    if (bytes_ > 0) std::memcpy(grown.get(), text_.get(), bytes_);
    text_ = std::move(grown);
    textCapacity_ = capacity;
  }
  if (endsCapacity_ - count_ < fields) {
    const std::size_t capacity = std::max({count_ + fields, 2 * endsCapacity_, std::size_t{16}});
    auto grown = std::make_unique_for_overwrite<FieldEnd[]>(capacity);
    if (count_ > 0) std::memcpy(grown.get(), ends_.get(), count_ * sizeof(FieldEnd));
    ends_ = std::move(grown);
    endsCapacity_ = capacity;
  }
}

std::vector<std::string> Record::Fields() const {
  std::vector<std::string> fields;
  fields.reserve(size());
  for (std::size_t i = 0; i < size(); ++i) fields.emplace_back((*this)[i]);
  return fields;
}

CSVReader::CSVReader(const char* text) {
  if (text == nullptr) text = "";
  MemoryBuffer buffer(text, std::strlen(text));
  std::istream stream(&buffer);
  ReadRecord(stream);
}

CSVReader::CSVReader(std::istream& input) { ReadRecord(input); }

void CSVReader::ReadRecord(std::istream& stream) {
  record.fields_.Clear();
  AppendRecord(stream, record.fields_);
}

namespace {

template <bool kSimd>
std::size_t AppendRecordWith(std::istream& stream, FieldBuffer& fields) {
  const std::size_t before = fields.size();
  Input<kSimd> input(stream);
  while (!input.AtEnd()) {
    if (input.FieldsInBuffer(fields)) break;
    // A line end, or a field that the buffer does not hold whole: byte by byte.
    if (input.IsEndOfLine()) break;
    bool ended;
    char quote;
    if (input.Peek() == '"' && input.Take(quote)) {
      ended = ReadQuotedField(input, fields);
    } else {
      ended = ReadPlainField(input, fields);
    }
    fields.EndField();
    if (ended) break;
  }
  return fields.size() - before;
}

}  // namespace

std::size_t CSVReader::AppendRecord(std::istream& stream, FieldBuffer& fields, Isa isa) {
#if GRIDLOOM_HAVE_SSE2
  if (UsableIsa(isa) != Isa::kPlain) return AppendRecordWith<true>(stream, fields);
#else
  (void)isa;
#endif
  return AppendRecordWith<false>(stream, fields);
}

namespace {

// For each set of kept bytes of a group of 8 (bit i: byte i), the shuffle that moves them to
// the front, in order.
constexpr auto kKeepOrder = [] {
  std::array<std::uint64_t, 256> orders{};
  for (unsigned keep = 0; keep < 256; ++keep) {
    unsigned to = 0;
    for (unsigned from = 0; from < 8; ++from)
      if (keep >> from & 1) orders[keep] |= std::uint64_t{from} << (8 * to++);
    for (; to < 8; ++to) orders[keep] |= std::uint64_t{0x80} << (8 * to);
  }
  return orders;
}();

// The three steps of the bulk read that differ by processor: the masks of a block, counting
// the bits of a mask, and writing the bytes of the block at p whose bits are set in keep, in
// order (and up to 8 bytes past them). In plain code:
struct PlainSteps {
  static BlockMasks Masks(const char* p) { return PlainMasks(p); }
  static LeadMasks Leads(const char* p, const LeadBytes& leads) {
    return PlainLeadMasks(p, leads);
  }
  static unsigned Count(Mask bits) { return CountBits(bits); }
  static char* Compact(char* out, const char* p, Mask keep) {
    for (; keep != 0; keep &= keep - 1) *out++ = p[LowestBit(keep)];
    return out;
  }
};

#if GRIDLOOM_HAVE_SSE2
// With SSE2: the masks 16 bytes at a time.
struct Sse2Steps : PlainSteps {
  static BlockMasks Masks(const char* p) { return Sse2Masks(p); }
  static LeadMasks Leads(const char* p, const LeadBytes& leads) {
    return Sse2LeadMasks(p, leads);
  }
};

// With byte shuffles (SSSE3) and bit counts in one instruction: groups of 8.
struct ShuffleSteps {
  GRIDLOOM_TARGET_SSSE3 static BlockMasks Masks(const char* p) { return Sse2Masks(p); }
  GRIDLOOM_TARGET_SSSE3 static LeadMasks Leads(const char* p, const LeadBytes& leads) {
    return Sse2LeadMasks(p, leads);
  }
  GRIDLOOM_TARGET_SSSE3 static unsigned Count(Mask bits) {
    return static_cast<unsigned>(sizeof(Mask) == 8 ? __builtin_popcountll(bits)
                                                   : __builtin_popcount(static_cast<unsigned>(bits)));
  }
  GRIDLOOM_TARGET_SSSE3 static char* Compact(char* out, const char* p, Mask keep) {
    for (unsigned group = 0; group < kBlock; group += 8) {
      const unsigned bits = (keep >> group) & 0xFF;
      const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + group));
      const __m128i order = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&kKeepOrder[bits]));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(bytes, order));
      out += __builtin_popcount(bits);
    }
    return out;
  }
};
#endif

// Adds the bits of the marks (ampersands, angle brackets, kept quotes, CRs of a CR LF in a
// field, NULs, lead bytes without a trail byte) in bits to a tally. (Not a lambda: one would
// not take the processor's instructions of the function it is in, and would call the counts
// rather than have them inline.)
template <class Steps>
[[gnu::always_inline]] inline void AddCounts(CSVReader::Tally& to, const Mask (&marks)[6],
                                             Mask bits) {
  to.ampersands += Steps::Count(marks[0] & bits);
  to.angles += Steps::Count(marks[1] & bits);
  to.quotes += Steps::Count(marks[2] & bits);
  to.lineBreaks += Steps::Count(marks[3] & bits);
  if (const Mask nuls = marks[4] & bits) to.nuls += Steps::Count(nuls);
  if (const Mask lone = marks[5] & bits) to.loneLeads += Steps::Count(lone);
}

template <class Steps, bool kDbcs>
[[gnu::always_inline]] inline const char* AppendRecordsWith(
    const char* begin, const char* limit, const char* end, FieldBuffer& fields,
    std::vector<std::size_t>& recordEnds, CSVReader::Tally& tally,
    [[maybe_unused]] const LeadBytes& leads) {
  // Quotes are read as switching between inside and outside a quoted field, which is what
  // the reader does as long as every quote that opens follows a comma or a line end (or the
  // quote that closed just before it: a doubled quote, which stays) and every quote that
  // closes is followed by a comma, a line end or a quote. The run ends at the start of the
  // record where that fails, or at an empty line. Block by block, the bytes of text (all but
  // the commas and line ends outside quotes and the quotes but the kept one of a pair) are
  // packed together, and every field end is marked with the count of text bytes before it.
  if (limit <= begin || end - begin < kBlockReach) return begin;
  fields.Reserve(static_cast<std::size_t>(end - begin) + 8, 0);  // packing writes 8 past
  char* const text = fields.TextEnd() - fields.Text().size();
  std::size_t bytes = fields.Text().size(), count = fields.size();  // at the block
  std::size_t textMark = bytes, fieldMark = count;  // at the record being read
  const char* record = begin;  // the start of the record being read
  // The byte before the block: inside quotes, a quote, a comma, a record's start (after a
  // line end), or a CR that ended a record.
  Mask inside = 0, quoteBefore = 0, commaBefore = 0, startBefore = 1, crBefore = 0;
  CSVReader::Tally pending;  // counted in the blocks before this one, for the record being read
  // Lead bytes: whether the block's first byte is the trail byte of the last one's last.
  [[maybe_unused]] Mask trailFirst = 0;
  const auto isStop = [](char c) { return c == ',' || c == '\r' || c == '\n'; };
  for (const char* p = begin; end - p >= kBlockReach; p += kBlock) {
    fields.Resize(bytes, count);  // so far, with the record being read
    if (fields.Room() < 64) fields.Reserve(0, 64);
    FieldEnd* const ends = fields.EndsEnd();
    const BlockMasks m = Steps::Masks(p);
    const Mask in = PrefixXor(m.quote) ^ inside;  // bit i: inside after byte i
    const Mask stops = m.comma | m.cr | m.lf;
    const Mask comma = m.comma & ~in, cr = m.cr & ~in, lf = m.lf & ~in;
    const Mask afterQuote = m.quote << 1 | quoteBefore;
    const Mask opens = m.quote & in, closes = m.quote & ~in, kept = opens & afterQuote;
    const Mask lfOfCrLf = lf & (cr << 1 | crBefore);
    const Mask lineEnd = (cr | lf) & ~lfOfCrLf;  // each ends a record
    // A record starts after a line end, but a CR's when the LF of a CR LF follows it.
    const Mask lfNext = m.lf >> 1 | Mask{p[kBlock] == '\n'} << (kBlock - 1);
    const Mask starts = (lineEnd & ~(cr & lfNext)) | lfOfCrLf;
    const Mask recordStart = starts << 1 | startBefore;
    const Mask afterComma = comma << 1 | commaBefore;
    const Mask closeFollowed =
        (stops | m.quote) >> 1 | Mask{isStop(p[kBlock]) || p[kBlock] == '"'} << (kBlock - 1);
    const Mask cut = (opens & ~afterQuote & ~(afterComma | recordStart)) |
                     (closes & ~closeFollowed) | (lineEnd & recordStart);
    // A line end where a field would start adds no field; at a record's start it is an
    // empty line, which the cut stops before.
    const Mask fieldEnds = comma | (lineEnd & ~afterComma);
    const Mask keep = ~(comma | cr | lf | (m.quote & ~kept));
    // In a double-byte code page, the lead bytes that start a character: in a run of lead
    // bytes, those at an even distance from its start (adding a run's first bit where it is
    // at an even place clears the run); where the block's first byte is the last block's
    // trail byte, a run from it starts one later. No lead byte is a stop, so runs end at
    // every field's end. Those before a byte below 0x40 have no trail byte.
    Mask lone = 0;
    if constexpr (kDbcs) {
      constexpr Mask kEven = static_cast<Mask>(0x5555555555555555ull);
      const LeadMasks l = Steps::Leads(p, leads);
      const Mask runStarts = l.lead & ~(l.lead << 1);
      const Mask evenRuns = l.lead & ~(l.lead + (runStarts & kEven));
      Mask starts = (evenRuns & kEven) | (l.lead & ~evenRuns & ~kEven);
      starts ^= l.lead & ~(l.lead + 1) & (Mask{0} - trailFirst);
      const Mask lowNext =
          l.low >> 1 | Mask{static_cast<unsigned char>(p[kBlock]) < 0x40} << (kBlock - 1);
      lone = starts & lowNext;
      trailFirst = (starts & ~lowNext) >> (kBlock - 1);
    }
    const Mask marks[6] = {m.amp, m.angle, kept, m.cr & in & lfNext, m.nul, lone};
    inside = 0 - (in >> (kBlock - 1));
    quoteBefore = m.quote >> (kBlock - 1);
    commaBefore = comma >> (kBlock - 1);
    startBefore = starts >> (kBlock - 1);
    crBefore = cr >> (kBlock - 1);

    Steps::Compact(text + bytes, p, keep);
    const Mask valid = cut == 0 ? ~Mask{0} : (cut & (0 - cut)) - 1;
    std::size_t fieldsHere = 0;
    for (Mask e = fieldEnds & valid; e != 0; e &= e - 1) {
      const Mask before = (e & (0 - e)) - 1;
      ends[fieldsHere++] = static_cast<FieldEnd>(bytes + Steps::Count(keep & before));
    }
    Mask tallied = 0;  // the bits of this block counted
    for (Mask e = lineEnd & valid; e != 0; e &= e - 1) {
      const Mask upTo = e ^ (e - 1);  // the bits up to this line end
      const unsigned bit = LowestBit(e);
      textMark = bytes + Steps::Count(keep & upTo);
      fieldMark = count + Steps::Count(fieldEnds & upTo);
      recordEnds.push_back(fieldMark);
      tally.ampersands += pending.ampersands, tally.angles += pending.angles;
      tally.quotes += pending.quotes, tally.lineBreaks += pending.lineBreaks;
      tally.nuls += pending.nuls, tally.loneLeads += pending.loneLeads;
      pending = {};
      AddCounts<Steps>(tally, marks, upTo & ~tallied);
      tallied = upTo;
      record = p + bit + (lfNext >> bit & cr >> bit & 1) + 1;
      if (record >= limit) {
        fields.Resize(textMark, fieldMark);
        return record;
      }
    }
    if (cut != 0) break;
    bytes += Steps::Count(keep);
    count += fieldsHere;
    AddCounts<Steps>(pending, marks, ~tallied);
  }
  fields.Resize(textMark, fieldMark);
  return record;
}

#if GRIDLOOM_HAVE_SSE2
template <bool kDbcs>
GRIDLOOM_TARGET_SSSE3 const char* AppendRecordsShuffles(const char* begin, const char* limit,
                                                        const char* end, FieldBuffer& fields,
                                                        std::vector<std::size_t>& recordEnds,
                                                        CSVReader::Tally& tally,
                                                        const LeadBytes& leads) {
  return AppendRecordsWith<ShuffleSteps, kDbcs>(begin, limit, end, fields, recordEnds, tally,
                                                leads);
}
#endif

}  // namespace

namespace {

template <bool kDbcs>
const char* AppendRecordsIn(Isa isa, const char* begin, const char* limit, const char* end,
                            FieldBuffer& fields, std::vector<std::size_t>& recordEnds,
                            CSVReader::Tally& tally, const LeadBytes& leads) {
  switch (UsableIsa(isa)) {
#if GRIDLOOM_HAVE_SSE2
    case Isa::kAvx512:
    case Isa::kSsse3:
      return AppendRecordsShuffles<kDbcs>(begin, limit, end, fields, recordEnds, tally, leads);
    case Isa::kSse2:
      return AppendRecordsWith<Sse2Steps, kDbcs>(begin, limit, end, fields, recordEnds, tally,
                                                 leads);
#endif
    default:
      return AppendRecordsWith<PlainSteps, kDbcs>(begin, limit, end, fields, recordEnds, tally,
                                                  leads);
  }
}

}  // namespace

const char* CSVReader::AppendRecords(const char* begin, const char* limit, const char* end,
                                     FieldBuffer& fields, std::vector<std::size_t>& recordEnds,
                                     Tally& tally, Isa isa, const LeadBytes& leads) {
  return leads.Any()
             ? AppendRecordsIn<true>(isa, begin, limit, end, fields, recordEnds, tally, leads)
             : AppendRecordsIn<false>(isa, begin, limit, end, fields, recordEnds, tally, leads);
}

std::string CSVReader::GetField(std::uint32_t index) const {
  if (index >= record.size()) return {};
  return std::string(record[index]);
}

std::uint32_t CSVReader::GetFieldCount() const {
  return static_cast<std::uint32_t>(record.size());
}

}  // namespace gridloom
