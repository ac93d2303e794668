#include "html_escape.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace gridloom {
namespace {

// What escaping does to a byte: 0 keeps it; 1 to 4 replace it with kReference[class]; 5 is
// CR, a line break when an LF follows it.
constexpr std::array<unsigned char, 256> kEscapeClass = [] {
  std::array<unsigned char, 256> classes{};
  classes['&'] = 1;
  classes['<'] = 2;
  classes['>'] = 3;
  classes['"'] = 4;
  classes['\r'] = 5;
  return classes;
}();
constexpr char kReference[5][8] = {"", "&amp;", "&lt;", "&gt;", "&quot;"};  // padded to 8
constexpr unsigned char kGrowth[6] = {0, 4, 3, 3, 5, 0};

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

#if defined(__SSE2__)
inline __m128i Load(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
#endif

}  // namespace

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

char* WriteEscapedText(char* out, const char* p, std::size_t size) {
  const char* const end = p + size;
#if defined(__SSE2__)
  while (p < end) {
    const __m128i c = Load(p);
    const std::size_t left = static_cast<std::size_t>(end - p);
    const unsigned take = left >= 16 ? 16 : static_cast<unsigned>(left);
    unsigned mask = EscapableMask(c) & ((1u << take) - 1);
    if (mask == 0) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), c);
      out += take;
      p += take;
      continue;
    }
    unsigned done = 0;  // bytes of this block written
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
    p += done;
  }
#else
  while (p < end) {
    if (kEscapeClass[static_cast<unsigned char>(*p)] == 0) {
      *out++ = *p++;
    } else {
      p += WriteSpecial(out, p, end);
    }
  }
#endif
  return out;
}

}  // namespace gridloom
