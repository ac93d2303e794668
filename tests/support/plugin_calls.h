// What tests do with the plug-in: call PluginInline (bstr_text.h takes its BSTR), convert
// text as the plug-in does, and choose the ANSI code page where that can be done. One place
// for every test and build.
#pragma once

#include <string>
#include <string_view>

#include "bstr_text.h"
#include "gridloom/winapi.h"
#include "plugin_exports.h"

namespace gridloom::testsupport {

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
