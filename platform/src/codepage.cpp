// MultiByteToWideChar for POSIX, with the answers Windows gives (checked against Wine).
// A code page is a decoding table built once from iconv, as Windows keeps its NLS tables;
// UTF-8 has a decoder of its own. Both share an ASCII fast path; the other code pages are
// decoded 64 bytes at a time where the processor has byte shuffles.
#include <iconv.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/bits.h"
#include "platform/src/codepage_internal.h"
#include "gridloom/winapi.h"

#if GRIDLOOM_HAVE_SSE2
#include <immintrin.h>
#endif

namespace gridloom::winapi {
namespace {

std::atomic<UINT> ansiCodePage{932};

// The lead bytes of the double-byte code pages, as Windows has them (IsDBCSLeadByteEx, read
// off Wine): a lead byte pairs with the next byte, whether or not the pair is a character.
struct LeadBytes {
  UINT id;
  unsigned char ranges[3][2];  // first and last byte; unused ranges are {0, 0}
};
constexpr LeadBytes kLeadBytes[] = {
    {932, {{0x81, 0x9F}, {0xE0, 0xFC}}},
    {936, {{0x81, 0xFE}}},
    {949, {{0x81, 0xFE}}},
    {950, {{0x81, 0xFE}}},
};

// Where Windows converts otherwise than iconv, read off Wine.
struct SingleOverride {
  UINT id;
  unsigned char byte;
  char16_t unit;
};
struct PairRun {
  UINT id;
  unsigned char lead, firstTrail, lastTrail;
  char16_t firstUnit;
  unsigned char step;
};
#include "codepage_overrides.inc"

const LeadBytes* FindLeadBytes(UINT id) {
  for (const LeadBytes& leads : kLeadBytes) {
    if (leads.id == id) return &leads;
  }
  return nullptr;
}

// Converts bytes with iconv; true when they make exactly one UTF-16 code unit.
bool IconvOne(iconv_t cd, const unsigned char* bytes, std::size_t count, char16_t& unit) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(reinterpret_cast<const char*>(bytes));
  char16_t out[4];
  char* outPtr = reinterpret_cast<char*>(out);
  std::size_t inLeft = count, outLeft = sizeof out;
  if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) return false;
  if (iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) return false;
  if (sizeof out - outLeft != sizeof(char16_t)) return false;
  unit = out[0];
  return true;
}

// Windows' best-fit characters on 932 for Latin-1 letters and signs it lacks (read off Wine).
constexpr std::uint16_t kBestFit932[][2] = {
    {0x00A1, 0x21}, {0x00A2, 0x8191}, {0x00A3, 0x8192}, {0x00A5, 0x5C}, {0x00A6, 0x7C}, {0x00A9,
    0x63}, {0x00AA, 0x61}, {0x00AB, 0x81E1}, {0x00AC, 0x81CA}, {0x00AD, 0x2D}, {0x00AE, 0x52},
    {0x00AF, 0x8150}, {0x00B2, 0x32}, {0x00B3, 0x33}, {0x00B5, 0x83CA}, {0x00B7, 0x8145},
    {0x00B8, 0x8143}, {0x00B9, 0x31}, {0x00BA, 0x6F}, {0x00BB, 0x81E2}, {0x00C0, 0x41}, {0x00C1,
    0x41}, {0x00C2, 0x41}, {0x00C3, 0x41}, {0x00C4, 0x41}, {0x00C5, 0x41}, {0x00C6, 0x41},
    {0x00C7, 0x43}, {0x00C8, 0x45}, {0x00C9, 0x45}, {0x00CA, 0x45}, {0x00CB, 0x45}, {0x00CC,
    0x49}, {0x00CD, 0x49}, {0x00CE, 0x49}, {0x00CF, 0x49}, {0x00D0, 0x44}, {0x00D1, 0x4E},
    {0x00D2, 0x4F}, {0x00D3, 0x4F}, {0x00D4, 0x4F}, {0x00D5, 0x4F}, {0x00D6, 0x4F}, {0x00D8,
    0x4F}, {0x00D9, 0x55}, {0x00DA, 0x55}, {0x00DB, 0x55}, {0x00DC, 0x55}, {0x00DD, 0x59},
    {0x00DE, 0x54}, {0x00DF, 0x73}, {0x00E0, 0x61}, {0x00E1, 0x61}, {0x00E2, 0x61}, {0x00E3,
    0x61}, {0x00E4, 0x61}, {0x00E5, 0x61}, {0x00E6, 0x61}, {0x00E7, 0x63}, {0x00E8, 0x65},
    {0x00E9, 0x65}, {0x00EA, 0x65}, {0x00EB, 0x65}, {0x00EC, 0x69}, {0x00ED, 0x69}, {0x00EE,
    0x69}, {0x00EF, 0x69}, {0x00F0, 0x64}, {0x00F1, 0x6E}, {0x00F2, 0x6F}, {0x00F3, 0x6F},
    {0x00F4, 0x6F}, {0x00F5, 0x6F}, {0x00F6, 0x6F}, {0x00F8, 0x6F}, {0x00F9, 0x75}, {0x00FA,
    0x75}, {0x00FB, 0x75}, {0x00FC, 0x75}, {0x00FD, 0x79}, {0x00FE, 0x74}, {0x00FF, 0x79},
    {0x3094, 0x8394},
};

// The byte sequence that WideCharToMultiByte gives for each code unit. Where several sequences
// decode to the same character, Windows takes the lowest; on 932 the NEC-selected IBM
// extensions (lead bytes ED and EE) come after the IBM extensions they duplicate.
void BuildReverse(CodePage& page, UINT id) {
  page.reverse.assign(65536, 0);
  std::vector<bool> taken(65536, false);
  auto offer = [&](char16_t unit, std::uint16_t bytes) {
    if (taken[unit]) return;
    taken[unit] = true;
    page.reverse[unit] = bytes;
  };
  for (unsigned b = 0; b < 256; ++b) {
    if (!page.lead[b]) offer(page.single[b], static_cast<std::uint16_t>(b));
  }
  if (!page.dbcs) return;
  auto offerLead = [&](unsigned lead) {
    for (unsigned trail = 1; trail < 256; ++trail) {
      const char16_t unit = page.pairs[lead << 8 | trail];
      if (unit != page.defaultChar || (id == 932 && lead == 0x81 && trail == 0x45))
        offer(unit, static_cast<std::uint16_t>(lead << 8 | trail));
    }
  };
  const bool necSelected = id == 932;
  for (unsigned lead = 0x80; lead < 256; ++lead) {
    if (page.lead[lead] && !(necSelected && (lead == 0xED || lead == 0xEE))) offerLead(lead);
  }
  if (necSelected) {
    offerLead(0xED);
    offerLead(0xEE);
    for (const auto& [unit, bytes] : kBestFit932) offer(unit, bytes);
  }
}

// The table of the characters that high bytes start, and the lead bytes as ranges.
void BuildHigh(CodePage& page) {
  page.high.resize(128 * 256);
  for (unsigned byte = 0x80; byte < 256; ++byte) {
    for (unsigned next = 0; next < 256; ++next) {
      page.high[(byte - 0x80) << 8 | next] =
          page.lead[byte] ? page.pairs[byte << 8 | next] : page.single[byte];
    }
  }
  if (!page.dbcs) {
    page.leadRanges = true;  // none
    return;
  }
  unsigned ranges = 0;
  for (unsigned byte = 0; byte < 256; ++byte) {
    if (!page.lead[byte] || (byte > 0 && page.lead[byte - 1])) continue;
    if (ranges == 2) return;  // more than two ranges
    unsigned last = byte;
    while (last < 255 && page.lead[last + 1]) ++last;
    page.leadFrom[ranges] = static_cast<unsigned char>(byte);
    page.leadTo[ranges] = static_cast<unsigned char>(last);
    ++ranges;
  }
  if (ranges == 0) return;
  if (ranges == 1) {
    page.leadFrom[1] = page.leadFrom[0];
    page.leadTo[1] = page.leadTo[0];
  }
  page.leadRanges = true;
}

std::unique_ptr<CodePage> BuildTable(UINT id) {
  auto page = std::make_unique<CodePage>();
  if (id == CP_UTF8) {
    page->utf8 = true;
    return page;
  }
  char name[16];
  std::snprintf(name, sizeof name, "CP%u", id);
  iconv_t cd = iconv_open("UTF-16LE", name);
  if (cd == reinterpret_cast<iconv_t>(-1)) return nullptr;

  const LeadBytes* leads = FindLeadBytes(id);
  page->dbcs = leads != nullptr;
  if (leads != nullptr) {
    for (const auto& [first, last] : leads->ranges) {
      for (unsigned b = first; first != 0 && b <= last; ++b) page->lead[b] = true;
    }
  }
  // Windows' default character of the code page, given for unmapped double-byte sequences.
  page->defaultChar = id == 932 ? u'\u30FB' : u'?';
  for (unsigned b = 0; b < 256; ++b) {
    const unsigned char byte = static_cast<unsigned char>(b);
    char16_t unit;
    if (page->lead[b]) {
      page->single[b] = page->defaultChar;  // a lead byte with no trail byte
    } else if (IconvOne(cd, &byte, 1, unit)) {
      page->single[b] = unit;
    } else {
      page->single[b] = static_cast<char16_t>(b);  // unmapped single bytes map to U+00xx
    }
  }
  // Windows maps the bytes that a code page leaves free into the private use area.
  for (const SingleOverride& o : kSingleOverrides) {
    if (o.id == id) page->single[o.byte] = o.unit;
  }
  if (page->dbcs) {
    page->pairs.assign(256 * 256, page->defaultChar);
    for (unsigned lead = 0x80; lead < 256; ++lead) {
      if (!page->lead[lead]) continue;
      for (unsigned trail = 1; trail < 256; ++trail) {
        const unsigned char bytes[2] = {static_cast<unsigned char>(lead),
                                        static_cast<unsigned char>(trail)};
        char16_t unit;
        if (IconvOne(cd, bytes, 2, unit)) page->pairs[lead << 8 | trail] = unit;
      }
    }
    // The user-defined areas, and the pairs Windows maps otherwise.
    for (const PairRun& run : kPairRuns) {
      if (run.id != id) continue;
      for (unsigned trail = run.firstTrail; trail <= run.lastTrail; ++trail) {
        page->pairs[run.lead << 8 | trail] =
            static_cast<char16_t>(run.firstUnit + (trail - run.firstTrail) * run.step);
      }
    }
  }
  iconv_close(cd);
  BuildReverse(*page, id);
  BuildHigh(*page);
  return page;
}

}  // namespace

// The ANSI code pages of Windows: every byte and every pair of bytes converts as Wine converts
// it (tests/winapi/codepage-answers.txt), and UTF-8 decodes as Wine's does, bad sequences
// included. The OEM code pages, which are never a system's ANSI code page, and Johab are
// refused.
constexpr UINT kAcceptedCodePages[] = {874,  932,  936,  949,  950,  1250, 1251, 1252,
                                       1253, 1254, 1255, 1256, 1257, 1258, CP_UTF8};

bool IsAcceptedCodePage(UINT id) {
  return std::find(std::begin(kAcceptedCodePages), std::end(kAcceptedCodePages), id) !=
         std::end(kAcceptedCodePages);
}

const CodePage* FindCodePage(UINT id) {
  if (id == CP_ACP) id = ansiCodePage.load(std::memory_order_relaxed);
  static std::mutex lock;
  static std::map<UINT, std::unique_ptr<CodePage>> tables;
  std::lock_guard<std::mutex> guard(lock);
  auto found = tables.find(id);
  if (found == tables.end()) found = tables.emplace(id, BuildTable(id)).first;
  return found->second.get();
}

namespace {

// Wine's UTF-8 decoding: one bad sequence gives one U+FFFD for the bytes it could read as a
// prefix; a sequence cut short by the end of the input takes the rest of the input.
constexpr std::uint32_t kBad = 0xFFFFFFFF;

std::uint32_t DecodeUtf8(const unsigned char*& p, const unsigned char* end) {
  const unsigned char first = *p++;
  if (first < 0x80) return first;
  const unsigned length = first < 0xC2 ? 0 : first < 0xE0 ? 1 : first < 0xF0 ? 2 : first < 0xF5 ? 3 : 0;
  if (length == 0) return kBad;
  if (static_cast<std::size_t>(end - p) < length) {
    p = end;
    return kBad;
  }
  static constexpr unsigned char kMask[4] = {0x7F, 0x1F, 0x0F, 0x07};
  std::uint32_t value = first & kMask[length];
  unsigned bits;
  switch (length) {
    case 3:
      if ((bits = *p ^ 0x80u) >= 0x40) return kBad;
      value = value << 6 | bits;
      ++p;
      if (value < 0x10) return kBad;
      [[fallthrough]];
    case 2:
      if ((bits = *p ^ 0x80u) >= 0x40) return kBad;
      value = value << 6 | bits;
      if (value >= (0x110000 >> 6)) return kBad;
      ++p;
      if (value < 0x20) return kBad;
      if (value >= (0xD800 >> 6) && value <= (0xDFFF >> 6)) return kBad;
      [[fallthrough]];
    default:
      if ((bits = *p ^ 0x80u) >= 0x40) return kBad;
      value = value << 6 | bits;
      ++p;
      if (value < 0x80) return kBad;
      return value;
  }
}

// The code units of the character at p, which p moves past. Answers how many (1 or 2).
inline unsigned DecodeOne(const CodePage& page, const unsigned char*& p, const unsigned char* end,
                          char16_t units[2]) {
  if (page.utf8) {
    const std::uint32_t c = DecodeUtf8(p, end);
    if (c == kBad) {
      units[0] = u'\uFFFD';
    } else if (c >= 0x10000) {
      units[0] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      units[1] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
      return 2;
    } else {
      units[0] = static_cast<char16_t>(c);
    }
    return 1;
  }
  // A lead byte pairs with any byte after it but NUL; alone it is the default character.
  if (page.lead[*p] && end - p > 1 && p[1] != 0) {
    units[0] = page.pairs[static_cast<std::size_t>(p[0]) << 8 | p[1]];
    p += 2;
  } else {
    units[0] = page.single[*p++];
  }
  return 1;
}

#if GRIDLOOM_HAVE_SSE2
#define GRIDLOOM_SHUFFLES_TARGET GRIDLOOM_TARGET_SSSE3
#define GRIDLOOM_AVX512_TARGET GRIDLOOM_TARGET_AVX512

// What a 64-byte block holds, as bits: bytes of 0x80 or more, bytes in either range of lead
// bytes, NULs.
struct BlockBits {
  std::uint64_t high, leads, nuls;
};

// For each set of 8 code units to keep (a bit each), the byte shuffle that moves them to the
// front, in order.
const auto kUnitOrder = [] {
  std::array<std::array<unsigned char, 16>, 256> orders{};
  for (unsigned keep = 0; keep < 256; ++keep) {
    orders[keep].fill(0x80);
    unsigned to = 0;
    for (unsigned from = 0; from < 8; ++from) {
      if ((keep >> from & 1) == 0) continue;
      orders[keep][2 * to] = static_cast<unsigned char>(2 * from);
      orders[keep][2 * to + 1] = static_cast<unsigned char>(2 * from + 1);
      ++to;
    }
  }
  return orders;
}();

// The two steps of the block decoding that differ by processor: a block's bits, and writing
// the block's bytes widened whose bits are set in keep, in order (and up to 8 units past
// them). With byte shuffles (SSSE3), 8 units at a time:
struct ShuffleSteps {
  // Bytes in [from, to] shifted to start at -128, where a signed compare finds them.
  struct Range {
    __m128i shift, limit;
  };
  GRIDLOOM_SHUFFLES_TARGET static Range RangeOf(unsigned char from, unsigned char to) {
    return {_mm_set1_epi8(static_cast<char>(0x80 - from)),
            _mm_set1_epi8(static_cast<char>(-128 + (to - from) + 1))};
  }
  GRIDLOOM_SHUFFLES_TARGET explicit ShuffleSteps(const CodePage& page)
      : ranges{RangeOf(page.leadFrom[0], page.leadTo[0]),
               RangeOf(page.leadFrom[1], page.leadTo[1])} {}

  template <bool kDbcs>
  GRIDLOOM_SHUFFLES_TARGET BlockBits Bits(const unsigned char* s) const {
    __m128i v[4];
    BlockBits bits{};
    for (unsigned k = 0; k < 4; ++k) {
      v[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16 * k));
      bits.high |= std::uint64_t{static_cast<unsigned>(_mm_movemask_epi8(v[k]))} << (16 * k);
    }
    if constexpr (kDbcs) {
      for (unsigned k = 0; k < 4; ++k) {
        const __m128i lead = _mm_or_si128(
            _mm_cmplt_epi8(_mm_add_epi8(v[k], ranges[0].shift), ranges[0].limit),
            _mm_cmplt_epi8(_mm_add_epi8(v[k], ranges[1].shift), ranges[1].limit));
        const __m128i nul = _mm_cmpeq_epi8(v[k], _mm_setzero_si128());
        bits.leads |= std::uint64_t{static_cast<unsigned>(_mm_movemask_epi8(lead))} << (16 * k);
        bits.nuls |= std::uint64_t{static_cast<unsigned>(_mm_movemask_epi8(nul))} << (16 * k);
      }
    }
    return bits;
  }
  GRIDLOOM_SHUFFLES_TARGET static void Compact(char16_t* out, const unsigned char* s,
                                               std::uint64_t keep) {
    for (unsigned group = 0; group < 64; group += 8) {
      const __m128i units = _mm_unpacklo_epi8(
          _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + group)), _mm_setzero_si128());
      const unsigned bits = static_cast<unsigned>(keep >> group) & 0xFF;
      const __m128i order =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(kUnitOrder[bits].data()));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(units, order));
      out += __builtin_popcount(bits);
    }
  }

  Range ranges[2];
};

// With AVX-512 (BW, VBMI2): bits from one compare each, and 32 units at a time.
struct Avx512Steps {
  GRIDLOOM_AVX512_TARGET explicit Avx512Steps(const CodePage& page)
      : from{_mm512_set1_epi8(static_cast<char>(page.leadFrom[0])),
             _mm512_set1_epi8(static_cast<char>(page.leadFrom[1]))},
        span{_mm512_set1_epi8(static_cast<char>(page.leadTo[0] - page.leadFrom[0])),
             _mm512_set1_epi8(static_cast<char>(page.leadTo[1] - page.leadFrom[1]))} {}

  template <bool kDbcs>
  GRIDLOOM_AVX512_TARGET BlockBits Bits(const unsigned char* s) const {
    const __m512i v = _mm512_loadu_si512(s);
    BlockBits bits{_mm512_movepi8_mask(v), 0, 0};
    if constexpr (kDbcs) {
      bits.leads = _mm512_cmple_epu8_mask(_mm512_sub_epi8(v, from[0]), span[0]) |
                   _mm512_cmple_epu8_mask(_mm512_sub_epi8(v, from[1]), span[1]);
      bits.nuls = _mm512_testn_epi8_mask(v, v);
    }
    return bits;
  }
  GRIDLOOM_AVX512_TARGET static void Compact(char16_t* out, const unsigned char* s,
                                             std::uint64_t keep) {
    for (unsigned half = 0; half < 64; half += 32) {
      const __m512i units =
          _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + half)));
      const auto bits = static_cast<__mmask32>(keep >> half);
      _mm512_storeu_si512(out, _mm512_maskz_compress_epi16(bits, units));
      out += __builtin_popcount(bits);
    }
  }

  __m512i from[2], span[2];  // the lead bytes' ranges: first byte, and last less first
};

// Decodes 64 bytes at a time as long as 65 are left (and, writing, room for 64 units) and
// answers where it stopped, at the start of a character. In a double-byte code page, which
// bytes are trail bytes follows from the runs of lead bytes: in a run that starts a
// character, every other byte from its first is a lead byte and the next one its trail byte,
// so a run of odd length takes the byte after it as a trail byte. A lead byte followed by
// NUL pairs with nothing. The block's units are its bytes widened, less the trail bytes; the
// characters that start with a high byte are then looked up.
template <class Steps, bool kWrite, bool kDbcs>
[[gnu::always_inline]] inline const unsigned char* DecodeBlocks(
    const CodePage& page, const unsigned char* s, const unsigned char* end, char16_t* target,
    std::size_t capacity, std::size_t& units) {
  constexpr std::uint64_t kEven = 0x5555555555555555;
  const Steps steps(page);
  const char16_t* const high = page.high.data();
  std::size_t written = units;
  std::uint64_t carry = 0;  // 1: the block's first byte is the last block's last trail byte
  while (end - s > 64 && (!kWrite || capacity - written >= 64)) {
    const BlockBits bits = steps.template Bits<kDbcs>(s);
    std::uint64_t trails = carry;
    if constexpr (kDbcs) {
      const std::uint64_t beforeNul = bits.nuls >> 1 | std::uint64_t{s[64] == 0} << 63;
      const std::uint64_t leads = bits.leads & ~beforeNul;
      const std::uint64_t runStarts = leads & ~(leads << 1);
      // The runs that start at an even place: adding their first bits clears them.
      const std::uint64_t evenRuns = leads & ~(leads + (runStarts & kEven));
      std::uint64_t pairs = (evenRuns & kEven) | (leads & ~evenRuns & ~kEven);
      // Where the first byte is the last block's trail byte, a run from it pairs from its
      // second byte on (worked out apart, so that one block need not wait for the last).
      pairs ^= leads & ~(leads + 1) & (0 - carry);
      trails |= pairs << 1;
      carry = pairs >> 63;
    }
    if constexpr (kWrite) {
      const std::uint64_t keep = ~trails;
      Steps::Compact(target + written, s, keep);
      for (std::uint64_t starts = bits.high & keep; starts != 0; starts &= starts - 1) {
        const auto at = LowestBit(starts);
        const std::uint64_t before = trails & ((std::uint64_t{1} << at) - 1);
        target[written + at - static_cast<unsigned>(__builtin_popcountll(before))] =
            high[(s[at] - 0x80u) << 8 | s[at + 1]];
      }
    }
    written += 64 - static_cast<unsigned>(__builtin_popcountll(trails));
    s += 64;
  }
  units = written;
  return s + carry;
}

template <bool kWrite, bool kDbcs>
GRIDLOOM_SHUFFLES_TARGET const unsigned char* DecodeBlocksShuffles(
    const CodePage& page, const unsigned char* s, const unsigned char* end, char16_t* target,
    std::size_t capacity, std::size_t& written) {
  return DecodeBlocks<ShuffleSteps, kWrite, kDbcs>(page, s, end, target, capacity, written);
}

template <bool kWrite, bool kDbcs>
GRIDLOOM_AVX512_TARGET const unsigned char* DecodeBlocksAvx512(
    const CodePage& page, const unsigned char* s, const unsigned char* end, char16_t* target,
    std::size_t capacity, std::size_t& written) {
  return DecodeBlocks<Avx512Steps, kWrite, kDbcs>(page, s, end, target, capacity, written);
}

// The blocks with the instructions of isa (a usable set); s itself when it has none for them.
template <bool kWrite>
const unsigned char* DecodeBlocksWith(Isa isa, const CodePage& page, const unsigned char* s,
                                      const unsigned char* end, char16_t* target,
                                      std::size_t capacity, std::size_t& written) {
  if (!page.leadRanges || isa < Isa::kSsse3) return s;
  if (isa == Isa::kAvx512) {
    return page.dbcs ? DecodeBlocksAvx512<kWrite, true>(page, s, end, target, capacity, written)
                     : DecodeBlocksAvx512<kWrite, false>(page, s, end, target, capacity, written);
  }
  return page.dbcs ? DecodeBlocksShuffles<kWrite, true>(page, s, end, target, capacity, written)
                   : DecodeBlocksShuffles<kWrite, false>(page, s, end, target, capacity, written);
}
#endif

// Writes (or with target null, counts) the code units: in blocks of 64 bytes (other than
// UTF-8) as far as they go, then blocks of 16 ASCII bytes widened at once and other blocks
// character by character, through the tables where the code page has them. Without SSE2
// (kSimd false) only the last step, character by character.
template <bool kWrite, bool kUtf8, bool kSimd>
std::size_t DecodeFast(const CodePage& page, const unsigned char* s, const unsigned char* end,
                       char16_t* target, std::size_t capacity, bool& overflow, Isa isa) {
  std::size_t written = 0;
#if GRIDLOOM_HAVE_SSE2
  if constexpr (kSimd && !kUtf8)
    s = DecodeBlocksWith<kWrite>(isa, page, s, end, target, capacity, written);
#else
  (void)isa;
#endif
  const auto one = [&](const unsigned char*& p) {
    if constexpr (!kUtf8) {
      const unsigned byte = *p;
      char16_t unit;
      if (page.lead[byte] && end - p > 1 && p[1] != 0) {
        unit = page.pairs[byte << 8 | p[1]];
        p += 2;
      } else {
        unit = page.single[byte];
        p += 1;
      }
      if constexpr (kWrite) target[written] = unit;
      written += 1;
    } else {
      char16_t units[2];
      const unsigned count = *p < 0x80 ? (units[0] = *p++, 1) : DecodeOne(page, p, end, units);
      if constexpr (kWrite) {
        target[written] = units[0];
        if (count == 2) target[written + 1] = units[1];
      }
      written += count;
    }
  };
#if GRIDLOOM_HAVE_SSE2
  const auto widen = [&](const unsigned char* from) {  // 16 bytes as 16 code units
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    const __m128i zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target + written), _mm_unpacklo_epi8(bytes, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target + written + 8),
                     _mm_unpackhi_epi8(bytes, zero));
  };
  if constexpr (kSimd && !kUtf8) {
    // A block is walked from high byte to high byte; the ASCII bytes between them are widened
    // 16 at a time, the extra ones being overwritten. A block's characters end at most one
    // byte past it; the widening reads 16 bytes from there and writes 16 units of scratch.
    while (end - s >= 34 && (!kWrite || capacity - written >= 32)) {
      unsigned high = static_cast<unsigned>(
          _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s))));
      unsigned done = 0;
      while (high != 0) {
        const unsigned at = static_cast<unsigned>(__builtin_ctz(high));
        if constexpr (kWrite) widen(s + done);
        written += at - done;
        const unsigned char* p = s + at;
        one(p);
        done = static_cast<unsigned>(p - s);
        high &= done < 32 ? ~0u << done : 0;
      }
      if (done < 16) {
        if constexpr (kWrite) widen(s + done);
        written += 16 - done;
        done = 16;
      }
      s += done;
    }
  }
  // A block's characters end at most 3 bytes past it, and give at most 18 code units.
  while (kSimd && end - s >= 16 && (!kWrite || capacity - written >= 18)) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    if constexpr (kWrite) {  // all 16 widened; the ASCII ones at its start stand
      const __m128i zero = _mm_setzero_si128();
      _mm_storeu_si128(reinterpret_cast<__m128i*>(target + written),
                       _mm_unpacklo_epi8(chunk, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(target + written + 8),
                       _mm_unpackhi_epi8(chunk, zero));
    }
    const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(chunk));
    const unsigned ascii = high == 0 ? 16 : static_cast<unsigned>(__builtin_ctz(high));
    const unsigned char* const stop = s + 16;
    s += ascii;
    written += ascii;
    while (s < stop) one(s);
  }
#endif
  while (s < end) {
    if constexpr (kWrite) {  // the last characters, each checked for room
      const unsigned char* next = s;
      char16_t units[2];
      if (capacity - written < DecodeOne(page, next, end, units)) {
        overflow = true;
        return written;
      }
    }
    one(s);
  }
  return written;
}

}  // namespace

std::size_t DecodePlain(const CodePage& page, const unsigned char* s, std::size_t n,
                        char16_t* target, std::size_t capacity, bool& overflow) {
  const unsigned char* const end = s + n;
  std::size_t written = 0;
  overflow = false;
  while (s < end) {
    char16_t units[2];
    const unsigned count = DecodeOne(page, s, end, units);
    if (target) {
      if (capacity - written < count) {
        overflow = true;
        return written;
      }
      for (unsigned i = 0; i < count; ++i) target[written + i] = units[i];
    }
    written += count;
  }
  return written;
}

namespace {

template <bool kSimd>
std::size_t DecodeWith(const CodePage& page, const unsigned char* s, std::size_t n,
                       char16_t* target, std::size_t capacity, bool& overflow, Isa isa) {
  if (page.utf8) {
    return target ? DecodeFast<true, true, kSimd>(page, s, s + n, target, capacity, overflow, isa)
                  : DecodeFast<false, true, kSimd>(page, s, s + n, nullptr, 0, overflow, isa);
  }
  return target ? DecodeFast<true, false, kSimd>(page, s, s + n, target, capacity, overflow, isa)
                : DecodeFast<false, false, kSimd>(page, s, s + n, nullptr, 0, overflow, isa);
}

}  // namespace

std::size_t Decode(const CodePage& page, const unsigned char* s, std::size_t n,
                   char16_t* target, std::size_t capacity, bool& overflow, Isa isa) {
  overflow = false;
  isa = UsableIsa(isa);
#if GRIDLOOM_HAVE_SSE2
  if (isa != Isa::kPlain) return DecodeWith<true>(page, s, n, target, capacity, overflow, isa);
#endif
  return DecodeWith<false>(page, s, n, target, capacity, overflow, isa);
}

void Encode(const CodePage& page, std::u16string_view text, std::string& out) {
  if (page.utf8) {
    AppendUtf8(text, out);
    return;
  }
  for (const char16_t unit : text) {
    const std::uint16_t bytes = page.reverse[unit];
    if (bytes == 0 && unit != 0) {
      out += '?';
    } else if (bytes > 0xFF) {
      out += static_cast<char>(bytes >> 8);
      out += static_cast<char>(bytes & 0xFF);
    } else {
      out += static_cast<char>(bytes);
    }
  }
}

}  // namespace gridloom::winapi

using gridloom::winapi::CodePage;

extern "C" {

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH source, int sourceBytes,
                               LPWSTR target, int targetChars) {
  if (source == nullptr || sourceBytes == 0 || sourceBytes < -1 || targetChars < 0 ||
      (target == nullptr && targetChars != 0) || flags != 0)
    return 0;
  const CodePage* page = nullptr;
  try {
    page = gridloom::winapi::FindCodePage(codePage);
  } catch (...) {  // out of memory for the table
  }
  if (page == nullptr) return 0;
  const std::size_t n = sourceBytes == -1 ? std::strlen(source) + 1 : std::size_t(sourceBytes);
  bool overflow = false;
  const std::size_t units = gridloom::winapi::Decode(
      *page, reinterpret_cast<const unsigned char*>(source), n,
      targetChars == 0 ? nullptr : target, std::size_t(targetChars), overflow);
  if (overflow || units > 0x7FFFFFFF) return 0;
  return static_cast<int>(units);
}

UINT GridloomAcceptedCodePages(UINT* codePages, UINT capacity) {
  const auto& accepted = gridloom::winapi::kAcceptedCodePages;
  for (UINT i = 0; i < capacity && i < std::size(accepted); ++i) codePages[i] = accepted[i];
  return static_cast<UINT>(std::size(accepted));
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* source, int sourceUnits,
                               LPSTR target, int targetBytes, LPCCH defaultChar,
                               BOOL* usedDefault) {
  if (source == nullptr || sourceUnits == 0 || sourceUnits < -1 || targetBytes < 0 ||
      (target == nullptr && targetBytes != 0) || flags != 0 || defaultChar != nullptr ||
      usedDefault != nullptr)
    return 0;
  try {
    const CodePage* page = gridloom::winapi::FindCodePage(codePage);
    if (page == nullptr) return 0;
    std::size_t units = 0;
    if (sourceUnits == -1) {
      while (source[units] != 0) ++units;
      ++units;  // the NUL too
    } else {
      units = static_cast<std::size_t>(sourceUnits);
    }
    std::string bytes;
    gridloom::winapi::Encode(*page, {source, units}, bytes);
    if (bytes.size() > 0x7FFFFFFF || (targetBytes > 0 && bytes.size() > std::size_t(targetBytes)))
      return 0;
    if (targetBytes > 0) std::memcpy(target, bytes.data(), bytes.size());
    return static_cast<int>(bytes.size());
  } catch (...) {  // out of memory
    return 0;
  }
}

BOOL WINAPI IsDBCSLeadByteEx(UINT codePage, BYTE testChar) {
  try {
    const CodePage* page = gridloom::winapi::FindCodePage(codePage);
    return page != nullptr && page->lead[testChar];
  } catch (...) {  // out of memory for the table
    return 0;
  }
}

UINT WINAPI GetACP(void) { return gridloom::winapi::ansiCodePage.load(); }

BOOL GridloomSetACP(UINT codePage) {
  if (!gridloom::winapi::IsAcceptedCodePage(codePage)) return 0;
  try {
    if (gridloom::winapi::FindCodePage(codePage) == nullptr) return 0;
  } catch (...) {  // out of memory for the table
    return 0;
  }
  gridloom::winapi::ansiCodePage.store(codePage);
  return 1;
}

}  // extern "C"
