// The escaping of cell text for HTML, in one pass: & < > and the double quote become
// character references, CR LF becomes <br>, every other byte stays. Block-wise over padded
// text: the functions read up to kEscapePadding bytes past the text, which must be there and
// be NUL, and write up to 16 past the result.
#pragma once

#include <cstddef>

namespace gridloom {

inline constexpr std::size_t kEscapePadding = 32;

// How much longer escaping makes [text, text + size). A CR LF counts wherever it stands.
std::size_t EscapeGrowth(const char* text, std::size_t size);

// Writes the escaped text to out and answers the end of what it wrote.
char* WriteEscaped(char* out, const char* text, std::size_t size);

}  // namespace gridloom
