#include "html_escape.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace gridloom {
using namespace escape_detail;

std::size_t EscapeGrowth(const char* p, std::size_t size) {
  const char* const end = p + size;
#if defined(__SSE2__)
  // Each byte's growth as a byte, summed up by _mm_sad_epu8. The padding is NUL, so blocks
  // may run past the end: NUL neither grows nor is the LF after a CR.
  const auto weight = [](__m128i c, char byte, char growth) {
    return _mm_and_si128(_mm_cmpeq_epi8(c, _mm_set1_epi8(byte)), _mm_set1_epi8(growth));
  };
  __m128i sum = _mm_setzero_si128();
  for (; p < end; p += 16) {
    const __m128i c = Load(p);
    const __m128i crlf = _mm_and_si128(_mm_cmpeq_epi8(c, _mm_set1_epi8('\r')),
                                       _mm_cmpeq_epi8(Load(p + 1), _mm_set1_epi8('\n')));
    const __m128i growth = _mm_or_si128(
        _mm_or_si128(_mm_or_si128(weight(c, '&', 4), weight(c, '<', 3)),
                     _mm_or_si128(weight(c, '>', 3), weight(c, '"', 5))),
        _mm_and_si128(crlf, _mm_set1_epi8(2)));
    sum = _mm_add_epi64(sum, _mm_sad_epu8(growth, _mm_setzero_si128()));
  }
  std::uint64_t halves[2];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(halves), sum);
  return static_cast<std::size_t>(halves[0] + halves[1]);
#else
  std::size_t growth = 0;
  for (; p < end; ++p) {
    const unsigned char kind = kEscapeClass[static_cast<unsigned char>(*p)];
    growth += kind == 5 ? (p + 1 != end && p[1] == '\n' ? 2 : 0) : kGrowth[kind];
  }
  return growth;
#endif
}

std::size_t EscapeGrowthOf(std::string_view text) {
  std::size_t growth = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char kind = kEscapeClass[static_cast<unsigned char>(text[i])];
    growth += kind == 5 ? (i + 1 < text.size() && text[i + 1] == '\n' ? 2 : 0) : kGrowth[kind];
  }
  return growth;
}


}  // namespace gridloom
