// The escaping of cell text for HTML, in one pass: & < > and the double quote become
// character references, CR LF becomes <br>, every other byte stays. Block-wise over padded
// text: the functions read up to kEscapePadding bytes past the text, which must be there and
// be NUL, and write up to 16 past the result.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "isa.h"

#if GRIDLOOM_HAVE_SSE2
#include <emmintrin.h>
#endif

namespace gridloom {

inline constexpr std::size_t kEscapePadding = 32;

// How much longer escaping makes text, byte by byte (no padding needed).
std::size_t EscapeGrowthOf(std::string_view text);

#if GRIDLOOM_HAVE_SSE2
// Bit i is set when byte i of the 16 may change under escaping.
inline unsigned EscapableMask(__m128i bytes) {
  const auto is = [bytes](char c) { return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)); };
  return static_cast<unsigned>(_mm_movemask_epi8(
      _mm_or_si128(_mm_or_si128(_mm_or_si128(is('&'), is('<')), _mm_or_si128(is('>'), is('"'))),
                   is('\r'))));
}
#endif

namespace escape_detail {

// What escaping does to a byte: 0 keeps it; 1 to 4 replace it with kReference[class]; 5 is
// CR, a line break when an LF follows it.
inline constexpr std::array<unsigned char, 256> kEscapeClass = [] {
  std::array<unsigned char, 256> classes{};
  classes['&'] = 1;
  classes['<'] = 2;
  classes['>'] = 3;
  classes['"'] = 4;
  classes['\r'] = 5;
  return classes;
}();
inline constexpr char kReference[5][8] = {"", "&amp;", "&lt;", "&gt;", "&quot;"};  // padded to 8
inline constexpr unsigned char kGrowth[6] = {0, 4, 3, 3, 5, 0};

// Escapes the byte at p (not plain); answers how many bytes of the text it took.
inline std::size_t WriteSpecial(char*& out, const char* p, const char* end) {
  const unsigned char kind = kEscapeClass[static_cast<unsigned char>(*p)];
  if (kind < 5) {
    std::memcpy(out, kReference[kind], 8);
    out += kGrowth[kind] + 1;
    return 1;
  }
  if (p + 1 != end && p[1] == '\n') {
    std::memcpy(out, "<br>", 4);
    out += 4;
    return 2;
  }
  *out++ = '\r';  // a lone CR stays
  return 1;
}

#if GRIDLOOM_HAVE_SSE2
inline __m128i Load(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// Writes the first take bytes of the block at p (text up to end), escaping those whose bits
// are set in mask; the bytes between are copied 16 at a time. Answers how many bytes of the
// text it took: take, or one more where a CR LF spans the block's end.
inline unsigned WriteBlock(char*& out, const char* p, const char* end, unsigned mask,
                           unsigned take) {
  unsigned done = 0;
  while (mask != 0) {
    const unsigned at = static_cast<unsigned>(__builtin_ctz(mask));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), Load(p + done));
    out += at - done;
    done = at + static_cast<unsigned>(WriteSpecial(out, p + at, end));
    mask &= done < 32 ? ~0u << done : 0;
  }
  if (done < take) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), Load(p + done));
    out += take - done;
    done = take;
  }
  return done;
}
#endif

}  // namespace escape_detail

// How much longer escaping makes text that holds these counts of ampersands, angle brackets,
// double quotes and CR LFs.
inline std::size_t EscapeGrowthOf(std::size_t ampersands, std::size_t angles,
                                  std::size_t quotes, std::size_t lineBreaks) {
  using escape_detail::kGrowth;
  return kGrowth[1] * ampersands + kGrowth[2] * angles + kGrowth[4] * quotes +
         2 * lineBreaks;  // CR LF (2 bytes) becomes <br> (4)
}

// The writing of escaped text comes in two kinds: 16 bytes at a time with SSE2 (kSimd), and
// byte by byte, which defines what the other writes.

// Writes the escaped text to out and answers the end of what it wrote.
template <bool kSimd>
inline char* WriteEscapedText(char* out, const char* p, std::size_t size) {
  const char* const end = p + size;
#if GRIDLOOM_HAVE_SSE2
  if constexpr (kSimd) {
    while (p < end) {
      const __m128i c = escape_detail::Load(p);
      const std::size_t left = static_cast<std::size_t>(end - p);
      const unsigned take = left >= 16 ? 16 : static_cast<unsigned>(left);
      unsigned mask = EscapableMask(c) & ((1u << take) - 1);
      if (mask == 0) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), c);
        out += take;
        p += take;
        continue;
      }
      p += escape_detail::WriteBlock(out, p, end, mask, take);
    }
    return out;
  }
#endif
  while (p < end) {
    if (escape_detail::kEscapeClass[static_cast<unsigned char>(*p)] == 0) {
      *out++ = *p++;
    } else {
      p += escape_detail::WriteSpecial(out, p, end);
    }
  }
  return out;
}

// The same, with the common case of a short field that needs no escaping inline.
template <bool kSimd>
inline char* WriteEscaped(char* out, const char* text, std::size_t size) {
#if GRIDLOOM_HAVE_SSE2
  if constexpr (kSimd) {
    if (size <= 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
      unsigned mask = EscapableMask(bytes) & ((1u << size) - 1);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
      if (mask == 0) return out + size;
      escape_detail::WriteBlock(out, text, text + size, mask, static_cast<unsigned>(size));
      return out;
    }
  }
#endif
  return WriteEscapedText<kSimd>(out, text, size);
}

// Whether a set of instructions writes with SSE2.
inline bool EscapesWithSse2(Isa isa) { return GRIDLOOM_HAVE_SSE2 && UsableIsa(isa) != Isa::kPlain; }

}  // namespace gridloom
