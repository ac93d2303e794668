// The HTML's conversion to UTF-16 in two parts side by side: at every cut that EndsCharacter
// allows (up to eight of them, spread over the text), converting the two sides apart must
// give what converting the whole text gives. The first byte picks the ANSI code page: the
// double-byte ones, UTF-8 and a single-byte one.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gridloom/winapi.h"
#include "inline_call.h"

namespace {

std::u16string Take(BSTR text) {
  if (text == nullptr) {
    std::fprintf(stderr, "widen: no text\n");
    std::abort();
  }
  std::u16string result(text, SysStringLen(text));
  SysFreeString(text);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size < 2) return -1;
  static const UINT kPages[] = {932, 936, 949, 950, 65001, 1252};
  if (!GridloomSetACP(kPages[bytes[0] % std::size(kPages)])) std::abort();
  // The HTML is NUL-terminated text.
  const std::string html(reinterpret_cast<const char*>(bytes + 1),
                         strnlen(reinterpret_cast<const char*>(bytes + 1), size - 1));
  if (html.empty()) return -1;

  using gridloom::plugin::EndsCharacter;
  using gridloom::plugin::Widen;
  const std::u16string whole = Take(Widen(html.c_str(), html.size(), 0));
  std::size_t cuts = 0;
  for (std::size_t at = 1; at < html.size(); ++at) cuts += EndsCharacter(html.c_str(), at);
  const std::size_t step = cuts / 8 + 1;
  std::size_t seen = 0;
  for (std::size_t at = 1; at < html.size(); ++at) {
    if (!EndsCharacter(html.c_str(), at) || seen++ % step != 0) continue;
    if (Take(Widen(html.c_str(), html.size(), at)) != whole) {
      std::fprintf(stderr, "widen: a cut at %zu of %zu bytes changes the text\n", at, html.size());
      std::abort();
    }
  }
  return 0;
}
