// The work behind the exports, kept apart from them: the exports' source may not see
// <windows.h>, whose GetVersion clashes with the plug-in's.
#pragma once

#include <cstddef>

#include "gridloom/gridloom.h"

// Wide literals: wchar_t on Windows, char16_t elsewhere; both are UTF-16.
#ifdef _WIN32
#define GRIDLOOM_WIDE(text) L##text
#else
#define GRIDLOOM_WIDE(text) u##text
#endif

namespace gridloom::plugin {

// The comment that stands in for a table whose CSV file cannot be opened.
extern const OLECHAR kFailureComment[];

// A new BSTR holding text (SysAllocString).
BSTR AllocText(const OLECHAR* text) noexcept;

// The inline call: the HTML table for the CSV and INI file named in argText, resolved
// against baseDir, or the failure comment. A null pointer counts as empty text.
BSTR InlineCall(const char* argText, const char* baseDir) noexcept;

// The HTML text (ANSI code page; size bytes up to its NUL) as a BSTR, or null when no text
// could be converted. With a cut, the two sides are converted side by side.
BSTR Widen(const char* html, std::size_t size, std::size_t cut);

// Whether a cut of text at `at` comes after a character in every ANSI code page, whatever
// the bytes before and after: converting the two sides apart gives what converting the
// whole gives.
bool EndsCharacter(const char* text, std::size_t at);

// A cut for Widen near the middle of text of this size, or 0: the text is too small to be
// worth a second thread, or has no place that EndsCharacter.
std::size_t WidenCut(const char* text, std::size_t size);

}  // namespace gridloom::plugin
