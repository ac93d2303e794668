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

// The table of a code page (CP_ACP: the ANSI code page), or null when iconv has none.
const CodePage* FindCodePage(UINT id);

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

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
void AppendUtf8(std::u16string_view text, std::string& out);

}  // namespace gridloom::winapi
