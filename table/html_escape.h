// The escaping of cell text for HTML, in one pass: & < > and the double quote become
// character references, CR LF becomes <br>, every other byte stays. Block-wise over padded
// text: the functions read up to kEscapePadding bytes past the text, which must be there and
// be NUL, and write up to 16 past the result.
#pragma once

#include <cstddef>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace gridloom {

inline constexpr std::size_t kEscapePadding = 32;

// How much longer escaping makes [text, text + size). A CR LF counts wherever it stands.
std::size_t EscapeGrowth(const char* text, std::size_t size);

// The same for text with no padding after it, byte by byte.
std::size_t EscapeGrowthOf(std::string_view text);

// Writes the escaped text to out and answers the end of what it wrote.
char* WriteEscapedText(char* out, const char* text, std::size_t size);

#if defined(__SSE2__)
// Bit i is set when byte i of the 16 may change under escaping.
inline unsigned EscapableMask(__m128i bytes) {
  const auto is = [bytes](char c) { return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)); };
  return static_cast<unsigned>(_mm_movemask_epi8(
      _mm_or_si128(_mm_or_si128(_mm_or_si128(is('&'), is('<')), _mm_or_si128(is('>'), is('"'))),
                   is('\r'))));
}
#endif

// The same, with the common case of a short field that needs no escaping inline.
inline char* WriteEscaped(char* out, const char* text, std::size_t size) {
#if defined(__SSE2__)
  if (size <= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
    if ((EscapableMask(bytes) & ((1u << size) - 1)) == 0) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
      return out + size;
    }
  }
#endif
  return WriteEscapedText(out, text, size);
}

}  // namespace gridloom
