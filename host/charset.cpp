// What the host's encodings share on every system: the names of charsets, character
// references, and UTF-16 to UTF-8 done here (WideEncoder's fast path, WriteUtf8).
#include "charset.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cctype>
#include <memory>
#include <new>

#include "base/huge_pages.h"
#include "base/parallel.h"
#include "os.h"

namespace gridloom::host {

std::string CodePageCharset(unsigned codePage) {
  return codePage == 65001 ? "UTF-8" : "CP" + std::to_string(codePage);
}

namespace {

// A charset's name in capitals, without the dashes, underscores and spaces that spellings of
// one name differ by.
std::string Folded(std::string_view charset) {
  std::string name;
  for (const char c : charset) {
    if (c != '-' && c != '_' && c != ' ') {
      name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
  }
  return name;
}

}  // namespace

bool IsUtf8Name(std::string_view charset) { return Folded(charset) == "UTF8"; }

bool IsShiftJisName(std::string_view charset) {
  const std::string name = Folded(charset);
  return name == "SHIFTJIS" || name == "SJIS" || name == "MSKANJI" || name == "CSSHIFTJIS";
}

std::string PageCharset(const std::string& name) { return IsShiftJisName(name) ? "CP932" : name; }

std::string CharacterReference(std::u16string_view text, std::size_t pos, std::size_t& units) {
  char32_t c = text[pos];
  units = 1;
  if (c >= 0xD800 && c <= 0xDBFF && pos + 1 < text.size() && text[pos + 1] >= 0xDC00 &&
      text[pos + 1] <= 0xDFFF) {
    c = 0x10000 + ((c - 0xD800) << 10) + (text[pos + 1] - 0xDC00);
    units = 2;
  } else if (c >= 0xD800 && c <= 0xDFFF) {
    c = 0xFFFD;
  }
  return "&#" + std::to_string(static_cast<unsigned long>(c)) + ";";
}

namespace {

bool IsSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }
bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr std::string_view kLoneSurrogate = "&#65533;";

// Writes the UTF-8 of text to out, which has room for 8 bytes a unit; answers the end.
char* WriteUtf8Units(char* p, std::u16string_view text) {
  const char16_t* s = text.data();
  const char16_t* const end = s + text.size();
  while (s < end) {
#if defined(__SSE2__)
    if (end - s >= 16) {
      // 16 units: their bytes are stored at once, and the ASCII ones at the start stand.
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 8));
      const __m128i notAscii = _mm_set1_epi16(static_cast<short>(0xFF80));
      const __m128i asciiA = _mm_cmpeq_epi16(_mm_and_si128(a, notAscii), _mm_setzero_si128());
      const __m128i asciiB = _mm_cmpeq_epi16(_mm_and_si128(b, notAscii), _mm_setzero_si128());
      const unsigned ascii =
          static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(asciiA, asciiB)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_packus_epi16(a, b));
      if (ascii == 0xFFFF) {
        s += 16;
        p += 16;
        continue;
      }
      const unsigned run = static_cast<unsigned>(std::countr_one(ascii));
      s += run;
      p += run;
    }
#endif
    // One character, and every character after it up to the next ASCII unit.
    do {
      const char32_t unit = *s++;
      if (unit < 0x80) {
        *p++ = static_cast<char>(unit);
      } else if (unit < 0x800) {
        *p++ = static_cast<char>(0xC0 | unit >> 6);
        *p++ = static_cast<char>(0x80 | (unit & 0x3F));
      } else if (!IsSurrogate(static_cast<char16_t>(unit))) {
        *p++ = static_cast<char>(0xE0 | unit >> 12);
        *p++ = static_cast<char>(0x80 | (unit >> 6 & 0x3F));
        *p++ = static_cast<char>(0x80 | (unit & 0x3F));
      } else if (unit <= 0xDBFF && s != end && *s >= 0xDC00 && *s <= 0xDFFF) {
        const char32_t c = 0x10000 + ((unit - 0xD800) << 10) + (*s++ - 0xDC00);
        *p++ = static_cast<char>(0xF0 | c >> 18);
        *p++ = static_cast<char>(0x80 | (c >> 12 & 0x3F));
        *p++ = static_cast<char>(0x80 | (c >> 6 & 0x3F));
        *p++ = static_cast<char>(0x80 | (c & 0x3F));
      } else {
        p = std::copy(kLoneSurrogate.begin(), kLoneSurrogate.end(), p);
      }
    } while (s != end && *s >= 0x80);
  }
  return p;
}

}  // namespace

std::string EncodeUtf8(std::u16string_view text) {
  std::string out(text.size() * kLoneSurrogate.size(), '\0');
  out.resize(static_cast<std::size_t>(WriteUtf8Units(out.data(), text) - out.data()));
  return out;
}

namespace {

// Writes text as UTF-8 in pieces of kPiece units through one buffer.
int WriteUtf8Pieces(int fd, std::u16string_view text) {
  constexpr std::size_t kPiece = std::size_t{1} << 18;  // code units
  std::string buffer(std::min(kPiece, text.size()) * kLoneSurrogate.size(), '\0');
  while (!text.empty()) {
    std::size_t piece = std::min(kPiece, text.size());
    if (piece < text.size() && IsHighSurrogate(text[piece - 1])) --piece;
    const char* end = WriteUtf8Units(buffer.data(), text.substr(0, piece));
    const std::string_view bytes(buffer.data(), static_cast<std::size_t>(end - buffer.data()));
    if (const int error = WriteAll(fd, bytes)) return error;
    text.remove_prefix(piece);
  }
  return 0;
}

}  // namespace

int WriteUtf8(int fd, std::u16string_view text) {
  if (const std::optional<int> shown = WriteToConsole(fd, text)) return *shown;
  // A long text's second half is encoded on a second core while the first is written.
  constexpr std::size_t kHalfWorthAThread = std::size_t{1} << 20;  // code units
  std::size_t cut = text.size() / 2;
  if (cut < kHalfWorthAThread || gridloom::Cores() < 2)
    return WriteUtf8Pieces(fd, text);
  if (IsHighSurrogate(text[cut - 1])) --cut;  // a pair stays whole
  const std::u16string_view tail = text.substr(cut);
  std::unique_ptr<char[]> encoded;
  std::size_t encodedSize = 0;
  const auto encodeTail = [&]() noexcept {
    try {
      encoded = std::make_unique_for_overwrite<char[]>(tail.size() * kLoneSurrogate.size() + 16);
      gridloom::AdviseHugePages(encoded.get(), tail.size() * kLoneSurrogate.size());
    } catch (const std::bad_alloc&) {
      return;  // the tail is then written in pieces, as the head is
    }
    encodedSize = static_cast<std::size_t>(WriteUtf8Units(encoded.get(), tail) - encoded.get());
  };
  int error = 0;
  gridloom::RunParts(2, [&](std::size_t part) {
    if (part == 0) {
      error = WriteUtf8Pieces(fd, text.substr(0, cut));
    } else {
      encodeTail();
    }
  });
  if (error != 0) return error;
  if (encoded == nullptr) return WriteUtf8Pieces(fd, tail);
  return WriteAll(fd, std::string_view(encoded.get(), encodedSize));
}

}  // namespace gridloom::host
