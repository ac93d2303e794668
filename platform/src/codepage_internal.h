// Decoding tables of the code pages, shared by the stand-ins of libgridloom-winapi.
#pragma once

#include <array>
#include <cstdint>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "gridloom/winapi.h"
#include "base/isa.h"

namespace gridloom::winapi {

struct CodePage {
  bool utf8 = false;
  bool dbcs = false;
  char16_t defaultChar = u'?';
  std::array<char16_t, 256> single{};  // every byte that is not a lead byte
  std::array<bool, 256> lead{};
  std::vector<char16_t> pairs;  // lead << 8 | trail, double-byte code pages only
  // The character a byte of 0x80 or more starts, followed by the next byte: (byte - 0x80) << 8
  // | next. A pair for a lead byte (next 0: the lead byte alone), the byte alone otherwise.
  std::vector<char16_t> high;
  // Whether the code page can be decoded 64 bytes at a time: a single-byte one, or a
  // double-byte one whose lead bytes are at most two ranges, first and last byte of each
  // below (the same one twice, if one).
  bool leadRanges = false;
  unsigned char leadFrom[2] = {}, leadTo[2] = {};
  std::vector<std::uint16_t> reverse;  // UTF-16 code unit to bytes (high byte 0: one byte)
};

// The table of a code page (CP_ACP: the ANSI code page), or null when iconv has none. Built
// on first use (a double-byte code page's takes a millisecond).
const CodePage* FindCodePage(UINT id);

// Whether iconv has the code page, so that its table can be built; the table is not built.
bool HasCodePage(UINT id);

// The ANSI code pages of Windows: every byte and every pair of bytes converts as Wine converts
// it (tests/winapi/codepage-answers.txt), and UTF-8 decodes as Wine's does, bad sequences
// included. The OEM code pages, which are never a system's ANSI code page, and Johab are
// refused.
inline constexpr UINT kAcceptedCodePages[] = {874,  932,  936,  949,  950,  1250, 1251,
                                              1252, 1253, 1254, 1255, 1256, 1257, 1258,
                                              CP_UTF8};

// Whether the stand-ins convert a code page exactly as Windows does, checked against Wine:
// the only code pages GridloomSetACP takes.
bool IsAcceptedCodePage(UINT id);

// Decodes n bytes as MultiByteToWideChar does. With target null it only counts; otherwise it
// writes at most capacity code units and sets overflow when they do not suffice.
std::size_t Decode(const CodePage& page, const unsigned char* s, std::size_t n,
                   char16_t* target, std::size_t capacity, bool& overflow,
                   Isa isa = Isa::kBest);

// The same, one character at a time: the plain path that defines what Decode gives.
std::size_t DecodePlain(const CodePage& page, const unsigned char* s, std::size_t n,
                        char16_t* target, std::size_t capacity, bool& overflow);

// UTF-16 to the code page, as WideCharToMultiByte does without flags: a character that the
// code page lacks becomes "?".
void Encode(const CodePage& page, std::u16string_view text, std::string& out);

#if GRIDLOOM_HAVE_SSE2
// Decodes 64 bytes at a time with the instructions of isa (a usable set), as long as 65 bytes
// are left (and, writing, room for 64 units), adding the units to written; answers where it
// stopped, at the start of a character: s itself where isa or the code page has no blocks.
template <bool kWrite>
const unsigned char* DecodeBlocksWith(Isa isa, const CodePage& page, const unsigned char* s,
                                      const unsigned char* end, char16_t* target,
                                      std::size_t capacity, std::size_t& written);
#endif

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
void AppendUtf8(std::u16string_view text, std::string& out);

}  // namespace gridloom::winapi
