// The text of the plug-in's BSTRs as tests see it: one helper that takes a BSTR, and the
// comment that stands in for a table that cannot be made. One place for every test, fuzz
// target and build (the Windows host test included).
#pragma once

#include <string>

#include "gridloom/winapi.h"

namespace gridloom::testsupport {

// "<!-- 作成できませんでした -->": what stands in for a table whose CSV file cannot be read.
inline const std::u16string kFailureComment =
    u"<!-- \u4F5C\u6210\u3067\u304D\u307E\u305B\u3093\u3067\u3057\u305F -->";

// Takes ownership of a BSTR and gives its text; "<null>" for a null BSTR.
inline std::u16string Take(BSTR text) {
  if (text == nullptr) return u"<null>";
  std::u16string result(reinterpret_cast<const char16_t*>(text), SysStringLen(text));
  SysFreeString(text);
  return result;
}

}  // namespace gridloom::testsupport
