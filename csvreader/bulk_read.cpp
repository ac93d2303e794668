// The bulk read of CSVReader::AppendRecords: records read many at a time, a block of bytes at
// a step, as masks of the bytes that matter. One algorithm, whose three steps that differ by
// processor come in plain code, with SSE2, and with SSSE3's byte shuffles.
#include <array>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "base/bits.h"
#include "base/sse2.h"
#include "csvreader/Csvreader.h"

#if GRIDLOOM_HAVE_SSE2
#include <tmmintrin.h>
#endif

namespace gridloom {
namespace {

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

// One loop, longer than most: the quote state, the carries between blocks and the write
// position stay in registers across it, and a call per block would spill them.
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

}  // namespace gridloom
