// The HTML's conversion to UTF-16 in two parts side by side: at a cut that EndsCharacter
// allows, converting the two sides apart must give what converting the whole text gives.
// The first byte picks the ANSI code page (the double-byte ones, UTF-8 and a single-byte
// one), the second which of the allowed cuts. One cut an input: every cut starts a thread,
// and under ASan each thread that has ended still holds some memory.
// The same text (NULs and all) fed to a WideSink in one part or two, cut where the second
// byte says, in blocks of the size the third byte says: the BSTR is the whole text's up to
// its first NUL, unless the parts meet where EndsCharacter does not allow a cut, and only
// then the sink asks for the whole text to be converted.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

[[noreturn]] void Fail(const char* what, std::size_t partCut, std::size_t blockSize) {
  std::fprintf(stderr, "widen: %s (parts cut at %zu, blocks of %zu)\n", what, partCut, blockSize);
  std::abort();
}

void CheckSink(const std::string& text, const std::u16string& whole, std::size_t partCut,
               std::size_t blockSize) {
  using gridloom::plugin::EndsCharacter;
  const std::string parts[2] = {text.substr(0, partCut > 0 ? partCut : text.size()),
                                text.substr(partCut > 0 ? partCut : text.size())};
  const std::size_t count = partCut > 0 ? 2 : 1;
  gridloom::plugin::WideSink sink;
  if (sink.Start(count == 2 ? std::vector{parts[0].size(), parts[1].size()}
                            : std::vector{parts[0].size()})) {
    for (std::size_t i = 0; i < count; ++i) {
      std::string pending;
      for (std::size_t at = 0; at < parts[i].size(); at += blockSize) {
        pending += parts[i].substr(at, blockSize);
        const std::size_t taken = sink.Write(i, pending, false);
        if (taken > pending.size()) Fail("took more than the block", partCut, blockSize);
        pending.erase(0, taken);
      }
      if (sink.Write(i, pending, true) != pending.size())
        Fail("the last block not taken", partCut, blockSize);
    }
  }
  bool redo = false;
  BSTR result = sink.Finish(redo);
  const bool apart = count == 2 && text.find('\0') >= partCut;
  if (redo != (apart && !EndsCharacter(text.c_str(), partCut)))
    Fail(redo ? "asks for the whole text needlessly" : "parts met inside a character", partCut,
         blockSize);
  if (!redo && Take(result) != whole) Fail("not the whole text's BSTR", partCut, blockSize);
  if (redo && result != nullptr) Fail("a BSTR and a redo", partCut, blockSize);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size < 4) return -1;
  static const UINT kPages[] = {932, 936, 949, 950, 65001, 1252};
  if (!GridloomSetACP(kPages[bytes[0] % std::size(kPages)])) std::abort();
  const std::size_t choice = bytes[1];
  // The HTML is NUL-terminated text.
  const std::string text(reinterpret_cast<const char*>(bytes + 3), size - 3);
  const std::string html = text.substr(0, text.find('\0'));

  using gridloom::plugin::EndsCharacter;
  using gridloom::plugin::Widen;
  const std::u16string whole = Take(Widen(html.c_str(), html.size(), 0));
  CheckSink(text, whole, choice % text.size(), 1 + bytes[2] % 64u);
  std::size_t cuts = 0;
  for (std::size_t at = 1; at < html.size(); ++at) cuts += EndsCharacter(html.c_str(), at);
  if (cuts == 0) return -1;
  std::size_t cut = 0;
  for (std::size_t at = 1, seen = 0; cut == 0; ++at) {
    if (EndsCharacter(html.c_str(), at) && seen++ == choice % cuts) cut = at;
  }
  if (Take(Widen(html.c_str(), html.size(), cut)) != whole) {
    std::fprintf(stderr, "widen: a cut at %zu of %zu bytes changes the text\n", cut, html.size());
    std::abort();
  }
  return 0;
}
