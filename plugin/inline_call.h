// The work behind the exports, kept apart from them: the exports' source may not see
// <windows.h>, whose GetVersion clashes with the plug-in's.
#pragma once

#include "base/isa.h"
#include "gridloom/gridloom.h"
#include "plugin/wide_text.h"

// Wide literals: wchar_t on Windows, char16_t elsewhere; both are UTF-16.
#ifdef _WIN32
#define GRIDLOOM_WIDE(text) L##text
#else
#define GRIDLOOM_WIDE(text) u##text
#endif

namespace gridloom::plugin {

// A new BSTR holding text (SysAllocString).
BSTR AllocText(const OLECHAR* text) noexcept;

// The inline call: the HTML table for the CSV and INI file named in argText, resolved
// against baseDir, or the failure comment. A null pointer counts as empty text. isa: the
// instructions to read and render with (tests choose; by default the best).
BSTR InlineCall(const char* argText, const char* baseDir, Isa isa = Isa::kBest) noexcept;

}  // namespace gridloom::plugin
