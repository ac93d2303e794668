// UTF-16's surrogate pairs, for the places that step through UTF-16 by characters.
#pragma once

#include <cstddef>
#include <string_view>

namespace gridloom::utf16 {

constexpr bool IsHigh(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool IsLow(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
constexpr bool IsSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }

// How many units the character at pos takes: 2 for a whole surrogate pair, else 1 (a lone
// surrogate stands for itself).
template <typename Unit>
constexpr std::size_t Units(std::basic_string_view<Unit> text, std::size_t pos) {
  return IsHigh(text[pos]) && pos + 1 < text.size() && IsLow(text[pos + 1]) ? 2 : 1;
}

// The character of a pair.
constexpr char32_t Combine(char32_t high, char32_t low) {
  return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}

// The pair of a character above U+FFFF.
constexpr char16_t High(char32_t c) { return static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)); }
constexpr char16_t Low(char32_t c) { return static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)); }

}  // namespace gridloom::utf16
