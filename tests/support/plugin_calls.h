// What tests do with the plug-in's results: take a BSTR, call PluginInline, convert text
// as the plug-in does, and choose the ANSI code page where that can be done. One place for
// every test and build.
#pragma once

#include <string>
#include <string_view>

#include "gridloom/winapi.h"
#include "plugin_exports.h"

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

// PluginInline of argText and baseDir, its BSTR taken.
inline std::u16string Inline(const char* argText, const char* baseDir) {
  return Take(Plugin().PluginInline(0, argText, 0, 0, baseDir, 0, 0));
}

// Text in the ANSI code page (up to its first NUL), converted as the plug-in converts.
inline std::u16string Widened(const std::string& text) {
  const int units = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (units <= 0) return u"<not converted>";
  std::u16string wide(static_cast<std::size_t>(units), u'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, reinterpret_cast<LPWSTR>(wide.data()), units);
  wide.pop_back();  // the NUL
  return wide;
}

// Sets the ANSI code page for the object's life where the system lets a program do so (our
// stand-ins); on Windows it is the system's, and ok() tells whether it is the one asked for.
class AnsiCodePage {
 public:
  explicit AnsiCodePage(UINT page) : old_(GetACP()) {
#ifdef _WIN32
    ok_ = GetACP() == page;
#else
    ok_ = GridloomSetACP(page) != 0;
#endif
  }
  ~AnsiCodePage() {
#ifndef _WIN32
    GridloomSetACP(old_);
#endif
  }
  AnsiCodePage(const AnsiCodePage&) = delete;
  AnsiCodePage& operator=(const AnsiCodePage&) = delete;
  bool ok() const { return ok_; }

 private:
  UINT old_;
  bool ok_ = false;
};

}  // namespace gridloom::testsupport
