// <windows.h> comes in below, with a GetVersion of its own: no export prototypes here.
#define GRIDLOOM_NO_PROTOTYPES
#include "inline_call.h"

#include <climits>
#include <cstring>
#include <string>

#include "Csvreader.h"
#include "Mygridloom.h"
#include "gridloom/winapi.h"

namespace gridloom::plugin {

// "<!-- 作成できませんでした -->": the table could not be made.
const OLECHAR kFailureComment[] =
    GRIDLOOM_WIDE("<!-- \u4F5C\u6210\u3067\u304D\u307E\u305B\u3093\u3067\u3057\u305F -->");

BSTR AllocText(const OLECHAR* text) noexcept { return SysAllocString(text); }

namespace {

// The wide text of the HTML, up to its first NUL, or null when no text could be converted.
BSTR Widen(const char* html) {
  const std::size_t bytes = std::strlen(html) + 1;
  if (bytes > static_cast<std::size_t>(INT_MAX)) {  // too long for one call: ask the length
    const int length = MultiByteToWideChar(CP_ACP, 0, html, -1, nullptr, 0);
    if (length <= 0) return nullptr;
    BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(length - 1));
    if (result != nullptr) MultiByteToWideChar(CP_ACP, 0, html, -1, result, length);
    return result;
  }
  // No character of an ANSI code page has more code units than bytes: the text is converted
  // in one pass into a BSTR as long as it, which is then cut to the units written.
  BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(bytes - 1));
  if (result == nullptr) return nullptr;
  const int length = MultiByteToWideChar(CP_ACP, 0, html, static_cast<int>(bytes), result,
                                         static_cast<int>(bytes));
  if (length > 0 && (static_cast<std::size_t>(length) == bytes ||
                     SysReAllocStringLen(&result, result, static_cast<UINT>(length - 1))))
    return result;
  SysFreeString(result);
  return nullptr;
}

}  // namespace

BSTR InlineCall(const char* argText, const char* baseDir) noexcept {
  try {
    const CSVReader arguments(argText != nullptr ? argText : "");
    const std::string base = baseDir != nullptr ? baseDir : "";
    const std::string csvPath = base + '\\' + arguments.GetField(0);
    const std::string iniPath = base + '\\' + arguments.GetField(1);
    MyGridLoom table(csvPath, iniPath);
    if (table.IsCreated()) {
      if (BSTR result = Widen(table.GetHtml())) return result;
    }
  } catch (...) {
    // out of memory: the comment below, if even that can be had
  }
  return SysAllocString(kFailureComment);
}

}  // namespace gridloom::plugin
