// The block decoding of the code pages other than UTF-8: 64 bytes at a time, one algorithm
// whose steps that differ by processor come with SSSE3's byte shuffles and with AVX-512.
#include <array>
#include <cstdint>

#include "base/bits.h"
#include "platform/src/codepage_internal.h"

#if GRIDLOOM_HAVE_SSE2
#include <immintrin.h>

namespace gridloom::winapi {
namespace {


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
  GRIDLOOM_TARGET_SSSE3 static Range RangeOf(unsigned char from, unsigned char to) {
    return {_mm_set1_epi8(static_cast<char>(0x80 - from)),
            _mm_set1_epi8(static_cast<char>(-128 + (to - from) + 1))};
  }
  GRIDLOOM_TARGET_SSSE3 explicit ShuffleSteps(const CodePage& page)
      : ranges{RangeOf(page.leadFrom[0], page.leadTo[0]),
               RangeOf(page.leadFrom[1], page.leadTo[1])} {}

  template <bool kDbcs>
  GRIDLOOM_TARGET_SSSE3 BlockBits Bits(const unsigned char* s) const {
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
  GRIDLOOM_TARGET_SSSE3 static void Compact(char16_t* out, const unsigned char* s,
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
  GRIDLOOM_TARGET_AVX512 explicit Avx512Steps(const CodePage& page)
      : from{_mm512_set1_epi8(static_cast<char>(page.leadFrom[0])),
             _mm512_set1_epi8(static_cast<char>(page.leadFrom[1]))},
        span{_mm512_set1_epi8(static_cast<char>(page.leadTo[0] - page.leadFrom[0])),
             _mm512_set1_epi8(static_cast<char>(page.leadTo[1] - page.leadFrom[1]))} {}

  template <bool kDbcs>
  GRIDLOOM_TARGET_AVX512 BlockBits Bits(const unsigned char* s) const {
    const __m512i v = _mm512_loadu_si512(s);
    BlockBits bits{_mm512_movepi8_mask(v), 0, 0};
    if constexpr (kDbcs) {
      bits.leads = _mm512_cmple_epu8_mask(_mm512_sub_epi8(v, from[0]), span[0]) |
                   _mm512_cmple_epu8_mask(_mm512_sub_epi8(v, from[1]), span[1]);
      bits.nuls = _mm512_testn_epi8_mask(v, v);
    }
    return bits;
  }
  GRIDLOOM_TARGET_AVX512 static void Compact(char16_t* out, const unsigned char* s,
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
GRIDLOOM_TARGET_SSSE3 const unsigned char* DecodeBlocksShuffles(
    const CodePage& page, const unsigned char* s, const unsigned char* end, char16_t* target,
    std::size_t capacity, std::size_t& written) {
  return DecodeBlocks<ShuffleSteps, kWrite, kDbcs>(page, s, end, target, capacity, written);
}

template <bool kWrite, bool kDbcs>
GRIDLOOM_TARGET_AVX512 const unsigned char* DecodeBlocksAvx512(
    const CodePage& page, const unsigned char* s, const unsigned char* end, char16_t* target,
    std::size_t capacity, std::size_t& written) {
  return DecodeBlocks<Avx512Steps, kWrite, kDbcs>(page, s, end, target, capacity, written);
}

}  // namespace

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

template const unsigned char* DecodeBlocksWith<true>(Isa, const CodePage&, const unsigned char*,
                                                     const unsigned char*, char16_t*,
                                                     std::size_t, std::size_t&);
template const unsigned char* DecodeBlocksWith<false>(Isa, const CodePage&,
                                                      const unsigned char*,
                                                      const unsigned char*, char16_t*,
                                                      std::size_t, std::size_t&);

}  // namespace gridloom::winapi
#endif
