// MultiByteToWideChar for POSIX, with the answers Windows gives (checked against Wine).
// A code page is a decoding table (codepage_tables.cpp); UTF-8 has a decoder of its own. Both
// share an ASCII fast path; the other code pages are decoded 64 bytes at a time where the
// processor has byte shuffles (codepage_blocks.cpp).
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/bits.h"
#include "base/utf16.h"
#include "platform/src/codepage_internal.h"
#include "gridloom/winapi.h"

#if GRIDLOOM_HAVE_SSE2
#include <immintrin.h>
#endif

namespace gridloom::winapi {
namespace {

std::atomic<UINT> ansiCodePage{932};

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
      units[0] = utf16::High(c);
      units[1] = utf16::Low(c);
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


// Writes (or with target null, counts) the code units: in blocks of 64 bytes (other than
// UTF-8) as far as they go, then blocks of 16 ASCII bytes widened at once and other blocks
// character by character, through the tables where the code page has them. Without SSE2
// (kSimd false) only the last step, character by character. One function, longer than most:
// the three steps hand each other the position and the count written, which stay in
// registers only while they share a body.
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
  // The code page's table is built when it is first used, not here: a command that converts
  // nothing (a rebuild with nothing to make) does not pay for it.
  if (!gridloom::winapi::IsAcceptedCodePage(codePage) ||
      !gridloom::winapi::HasCodePage(codePage)) {
    return 0;
  }
  gridloom::winapi::ansiCodePage.store(codePage);
  return 1;
}

}  // extern "C"

