// The code-page decoding: each set of instructions against the plain path that decodes one
// character at a time. The first byte picks the code page, the rest is the text, decoded
// whole, counted, and written with exactly enough room and with one unit too few.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>

#include "platform/src/codepage_internal.h"

namespace {

using gridloom::Isa;
using gridloom::winapi::CodePage;

[[noreturn]] void Fail(const char* what, UINT page, Isa isa) {
  std::fprintf(stderr, "decode: %s (code page %u, instructions %s)\n", what, page,
               gridloom::IsaName(isa));
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size < 1) return -1;
  static const UINT kPages[] = {932, 936, 949, 950, 65001, 1252};
  const UINT id = kPages[bytes[0] % std::size(kPages)];
  const CodePage* page = gridloom::winapi::FindCodePage(id);
  if (page == nullptr) Fail("no table", id, Isa::kBest);
  const unsigned char* text = bytes + 1;
  const std::size_t n = size - 1;
  bool overflow = false;
  std::u16string expected(n + 1, u'\0');
  expected.resize(gridloom::winapi::DecodePlain(*page, text, n, expected.data(), expected.size(),
                                                overflow));
  for (const Isa isa : gridloom::AvailableIsas()) {
    if (gridloom::winapi::Decode(*page, text, n, nullptr, 0, overflow, isa) != expected.size())
      Fail("counts otherwise", id, isa);
    std::u16string actual(expected.size(), u'#');
    const std::size_t written =
        gridloom::winapi::Decode(*page, text, n, actual.data(), actual.size(), overflow, isa);
    if (overflow || actual.substr(0, written) != expected) Fail("decodes otherwise", id, isa);
    if (!expected.empty()) {
      gridloom::winapi::Decode(*page, text, n, actual.data(), expected.size() - 1, overflow, isa);
      if (!overflow) Fail("no overflow with a unit too few", id, isa);
    }
  }
  return 0;
}
