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

#include "base/huge_pages.h"
#include "base/sse2.h"

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
    AdviseHugePages(grown.get(), capacity);
    if (bytes_ > 0) std::memcpy(grown.get(), text_.get(), bytes_);
    text_ = std::move(grown);
    textCapacity_ = capacity;
  }
  if (endsCapacity_ - count_ < fields) {
    const std::size_t capacity = std::max({count_ + fields, 2 * endsCapacity_, std::size_t{16}});
    auto grown = std::make_unique_for_overwrite<FieldEnd[]>(capacity);
    AdviseHugePages(grown.get(), capacity * sizeof(FieldEnd));
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

std::string CSVReader::GetField(std::uint32_t index) const {
  if (index >= record.size()) return {};
  return std::string(record[index]);
}

std::uint32_t CSVReader::GetFieldCount() const {
  return static_cast<std::uint32_t>(record.size());
}

}  // namespace gridloom
