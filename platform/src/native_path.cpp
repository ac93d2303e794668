// ANSI paths with Windows separators, turned into POSIX paths.
#include "gridloom/native_path.h"

#include "base/utf16.h"
#include "platform/src/codepage_internal.h"

namespace gridloom {
namespace winapi {

void AppendUtf8(std::u16string_view text, std::string& out) {
  out.reserve(out.size() + text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (utf16::IsSurrogate(c)) {
      c = utf16::Units(text, i) == 2 ? utf16::Combine(c, text[++i]) : 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
}

}  // namespace winapi

std::string NativePath(std::string_view ansiPath) {
  std::string result;
  const winapi::CodePage* page = winapi::FindCodePage(CP_ACP);
  if (page == nullptr) return result;
  std::u16string wide(ansiPath.size(), u'\0');
  bool overflow = false;
  wide.resize(winapi::Decode(*page, reinterpret_cast<const unsigned char*>(ansiPath.data()),
                             ansiPath.size(), wide.data(), wide.size(), overflow));
  for (char16_t& c : wide) {
    if (c == u'\\') c = u'/';
  }
  winapi::AppendUtf8(wide, result);
  return result;
}

}  // namespace gridloom
