// The Windows conversions between code pages and UTF-16 (charset_win.cpp), for the parts of
// the host on Windows that turn names and console text into UTF-16 and back (os_win.cpp).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace gridloom::host::win {

// Whether a code page's conversions take no flags (and report no unmapped characters).
bool TakesNoFlags(unsigned codePage);

// Bytes in a code page (0: the ANSI code page) to UTF-16; nothing when they hold an invalid
// sequence.
std::optional<std::wstring> Decode(std::string_view bytes, unsigned codePage);

// UTF-16 to a code page (0: the ANSI code page); nothing when a character has no counterpart
// there (or is a lone surrogate).
std::optional<std::string> Encode(std::wstring_view wide, unsigned codePage);

}  // namespace gridloom::host::win
