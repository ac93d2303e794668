// MultiByteToWideChar for POSIX, with the answers Windows gives (checked against Wine).
// A code page is a decoding table built once from iconv, as Windows keeps its NLS tables;
// UTF-8 has a decoder of its own. Both share an ASCII fast path.
#include <iconv.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "codepage_internal.h"
#include "gridloom/winapi.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace gridloom::winapi {
namespace {

std::atomic<UINT> ansiCodePage{932};

bool IsDoubleByteCodePage(UINT id) { return id == 932 || id == 936 || id == 949 || id == 950; }

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

  page->dbcs = IsDoubleByteCodePage(id);
  // Windows' default character of the code page, given for unmapped double-byte sequences.
  page->defaultChar = id == 932 ? u'\u30FB' : u'?';
  for (unsigned b = 0; b < 256; ++b) {
    const unsigned char byte = static_cast<unsigned char>(b);
    char16_t unit;
    if (IconvOne(cd, &byte, 1, unit)) {
      page->single[b] = unit;
    } else if (page->dbcs && b >= 0x80 && errno == EINVAL) {
      page->lead[b] = true;
      page->single[b] = page->defaultChar;  // a lead byte with no trail byte
    } else {
      page->single[b] = static_cast<char16_t>(b);  // unmapped single bytes map to U+00xx
    }
  }
  if (id == 932) {
    // Windows maps the bytes that Shift_JIS leaves free into the private use area.
    page->single[0xA0] = u'\uF8F0';
    page->single[0xFD] = u'\uF8F1';
    page->single[0xFE] = u'\uF8F2';
    page->single[0xFF] = u'\uF8F3';
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
  }
  iconv_close(cd);
  BuildReverse(*page, id);
  return page;
}

}  // namespace

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

// Writes (or with target null, counts) the code units. Blocks of 16 ASCII bytes are widened
// at once; other blocks go character by character, through the tables where the code page
// has them.
template <bool kWrite, bool kUtf8>
std::size_t DecodeFast(const CodePage& page, const unsigned char* s, const unsigned char* end,
                       char16_t* target, std::size_t capacity, bool& overflow) {
  std::size_t written = 0;
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
#if defined(__SSE2__)
  const auto widen = [&](const unsigned char* from) {  // 16 bytes as 16 code units
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    const __m128i zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target + written), _mm_unpacklo_epi8(bytes, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target + written + 8),
                     _mm_unpackhi_epi8(bytes, zero));
  };
  if constexpr (!kUtf8) {
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
  while (end - s >= 16 && (!kWrite || capacity - written >= 18)) {
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

std::size_t Decode(const CodePage& page, const unsigned char* s, std::size_t n,
                   char16_t* target, std::size_t capacity, bool& overflow) {
  overflow = false;
  if (page.utf8) {
    return target ? DecodeFast<true, true>(page, s, s + n, target, capacity, overflow)
                  : DecodeFast<false, true>(page, s, s + n, nullptr, 0, overflow);
  }
  return target ? DecodeFast<true, false>(page, s, s + n, target, capacity, overflow)
                : DecodeFast<false, false>(page, s, s + n, nullptr, 0, overflow);
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
  const CodePage* page = gridloom::winapi::FindCodePage(codePage);
  if (page == nullptr) return 0;
  const std::size_t n = sourceBytes == -1 ? std::strlen(source) + 1 : std::size_t(sourceBytes);
  bool overflow = false;
  const std::size_t units = gridloom::winapi::Decode(
      *page, reinterpret_cast<const unsigned char*>(source), n,
      targetChars == 0 ? nullptr : target, std::size_t(targetChars), overflow);
  if (overflow || units > 0x7FFFFFFF) return 0;
  return static_cast<int>(units);
}

UINT WINAPI GetACP(void) { return gridloom::winapi::ansiCodePage.load(); }

BOOL GridloomSetACP(UINT codePage) {
  if (codePage == CP_ACP || gridloom::winapi::FindCodePage(codePage) == nullptr) return 0;
  gridloom::winapi::ansiCodePage.store(codePage);
  return 1;
}

}  // extern "C"
