// The HTML's conversion to UTF-16 in two parts side by side: at a cut that EndsCharacter
// allows, converting the two sides apart must give what converting the whole text gives.
// The first byte picks the ANSI code page (the double-byte ones, UTF-8 and a single-byte
// one), the second which of the allowed cuts. One cut an input: every cut starts a thread,
// and under ASan each thread that has ended still holds some memory.
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
  if (size < 3) return -1;
  static const UINT kPages[] = {932, 936, 949, 950, 65001, 1252};
  if (!GridloomSetACP(kPages[bytes[0] % std::size(kPages)])) std::abort();
  const std::size_t choice = bytes[1];
  // The HTML is NUL-terminated text.
  const std::string html(reinterpret_cast<const char*>(bytes + 2),
                         strnlen(reinterpret_cast<const char*>(bytes + 2), size - 2));

  using gridloom::plugin::EndsCharacter;
  using gridloom::plugin::Widen;
  std::size_t cuts = 0;
  for (std::size_t at = 1; at < html.size(); ++at) cuts += EndsCharacter(html.c_str(), at);
  if (cuts == 0) return -1;
  std::size_t cut = 0;
  for (std::size_t at = 1, seen = 0; cut == 0; ++at) {
    if (EndsCharacter(html.c_str(), at) && seen++ == choice % cuts) cut = at;
  }
  if (Take(Widen(html.c_str(), html.size(), cut)) != Take(Widen(html.c_str(), html.size(), 0))) {
    std::fprintf(stderr, "widen: a cut at %zu of %zu bytes changes the text\n", cut, html.size());
    std::abort();
  }
  return 0;
}
