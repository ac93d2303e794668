// The HTML's conversion to UTF-16 block by block, in two parts, as a table is written into a
// WideSink. The first byte picks the ANSI code page (the double-byte ones, UTF-8 and a
// single-byte one), the second a cut, the third the block size; the rest is the text, NULs
// and all. Fed in one part or two, cut at any byte and again at one of the places that
// EndsCharacter allows, the BSTR must be what converting the text up to its first NUL in one
// pass gives, unless the parts meet where EndsCharacter allows no cut or the first part's
// stretch is too short for it, and only then the sink asks for the whole text to be converted
// instead. The first part is announced with cell text of the third byte's choice: its own
// text, none, the second part's, or the whole text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "gridloom/winapi.h"
#include "block_sink.h"
#include "bstr_text.h"
#include "plugin/wide_text.h"

namespace {

// The text of a BSTR that must be there.
std::u16string Take(BSTR text) {
  if (text == nullptr) {
    std::fprintf(stderr, "widen: no text\n");
    std::abort();
  }
  return gridloom::testsupport::Take(text);
}

[[noreturn]] void Fail(const char* what, std::size_t partCut, std::size_t blockSize) {
  std::fprintf(stderr, "widen: %s (parts cut at %zu, blocks of %zu)\n", what, partCut, blockSize);
  std::abort();
}

// The code units of text converted on its own; 0 when it cannot be.
std::size_t Units(std::string_view text) {
  if (text.empty()) return 0;
  const int units =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  return units > 0 ? static_cast<std::size_t>(units) : 0;
}

void CheckSink(const std::string& text, const std::u16string& whole, std::size_t partCut,
               std::size_t blockSize, unsigned cellChoice) {
  using gridloom::plugin::EndsCharacter;
  const std::string_view first = std::string_view(text).substr(0, partCut);
  const std::string_view cellTexts[] = {first, {}, std::string_view(text).substr(partCut), text};
  const std::string_view cellText = cellTexts[cellChoice % 4];
  gridloom::plugin::WideSink sink;
  const std::string fault =
      gridloom::testsupport::FeedBlocks(sink, text, partCut, blockSize, {cellText, {}});
  if (!fault.empty()) Fail(fault.c_str(), partCut, blockSize);
  bool redo = false;
  BSTR result = sink.Finish(redo);
  // The first part's stretch, and what it needs: its text up to its first NUL and that NUL.
  const std::size_t shrinkage = cellText.size() - std::min(cellText.size(), Units(cellText));
  const std::size_t stretch = first.size() - std::min(first.size(), shrinkage);
  const std::size_t nul = first.find('\0');
  const bool tooShort =
      partCut > 0 && Units(nul == first.npos ? first : first.substr(0, nul + 1)) > stretch;
  const bool apart = partCut > 0 && text.find('\0') >= partCut;
  if (redo != (tooShort || (apart && !EndsCharacter(text.c_str(), partCut))))
    Fail(redo ? "asks for the whole text needlessly" : "parts met inside a character, or a "
                "stretch too short", partCut, blockSize);
  if (!redo && Take(result) != whole) Fail("not the whole text's BSTR", partCut, blockSize);
  if (redo && result != nullptr) Fail("a BSTR and a redo", partCut, blockSize);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size < 4) return -1;
  static const UINT kPages[] = {932, 936, 949, 950, 65001, 1252};
  if (!GridloomSetACP(kPages[bytes[0] % std::size(kPages)])) std::abort();
  const std::size_t choice = bytes[1];
  const std::string text(reinterpret_cast<const char*>(bytes + 3), size - 3);
  const std::u16string whole = Take(gridloom::plugin::Widen(text.c_str()));
  const std::size_t blockSize = 1 + bytes[2] % 64u;
  CheckSink(text, whole, choice % text.size(), blockSize, bytes[2] / 64u);

  using gridloom::plugin::EndsCharacter;
  std::size_t cuts = 0;
  for (std::size_t at = 1; at < text.size(); ++at) cuts += EndsCharacter(text.c_str(), at);
  if (cuts == 0) return 0;
  std::size_t cut = 0;
  for (std::size_t at = 1, seen = 0; cut == 0; ++at) {
    if (EndsCharacter(text.c_str(), at) && seen++ == choice % cuts) cut = at;
  }
  CheckSink(text, whole, cut, blockSize, bytes[2] / 64u);
  return 0;
}
