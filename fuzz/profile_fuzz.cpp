// The profile reader on arbitrary INI bytes. For each query the value read into a roomy
// buffer is the reference. A smaller buffer gets, as Windows writes it, the value whole when
// it fits with two bytes to spare; otherwise a beginning of it in whole characters (a
// character that does not fit is not written, and a quoted value that the buffer holds but
// for its closing quote loses its last character), nothing written past its end (ASan
// watches the exact-size buffers) and a NUL after the answer. MyIniFile must read the whole
// value. A value never holds a NUL, CR or LF; a missing section gives the default without its
// trailing blanks.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "table/Myinifile.h"
#include "fuzz_files.h"
#include "gridloom/winapi.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& section, const std::string& key) {
  std::fprintf(stderr, "profile reader: %s ([%s] %s)\n", what, section.c_str(), key.c_str());
  std::abort();
}

// The first section name and the first key name after it, as written in the file, so that
// queries can hit what the input defines.
void NamesIn(std::string_view text, std::string& section, std::string& key) {
  const std::size_t open = text.find('[');
  if (open == std::string_view::npos) return;
  const std::size_t close = text.find(']', open);
  if (close == std::string_view::npos) return;
  section = std::string(text.substr(open + 1, close - open - 1));
  const std::size_t lineEnd = text.find('\n', close);
  if (lineEnd == std::string_view::npos) return;
  const std::size_t equals = text.find('=', lineEnd);
  if (equals == std::string_view::npos) return;
  key = std::string(text.substr(lineEnd + 1, equals - lineEnd - 1));
}

constexpr char kUnwritten = 0x55;  // what a buffer holds before the call

std::string Query(const std::string& section, const std::string& key, const char* fallback,
                  const std::string& path, std::size_t size) {
  auto buffer = std::make_unique<char[]>(size);
  std::memset(buffer.get(), kUnwritten, size);
  const DWORD count = GetPrivateProfileStringA(section.c_str(), key.c_str(), fallback,
                                               buffer.get(), static_cast<DWORD>(size),
                                               path.c_str());
  if (count > size - 1) Fail("answer beyond the buffer", section, key);
  if (buffer[count] != '\0') Fail("no NUL after the answer", section, key);
  if (std::strlen(buffer.get()) != count) Fail("answer is not the length copied", section, key);
  return std::string(buffer.get(), count);
}

// Whether cut is what a buffer of size bytes may hold of whole.
bool CutOf(const std::string& cut, const std::string& whole, std::size_t size) {
  if (cut.size() + 2 < size) return cut == whole;  // room to spare: nothing was cut
  std::size_t same = 0;
  while (same < cut.size() && same < whole.size() && cut[same] == whole[same]) ++same;
  // A character left out (at most two bytes), or the last one of a quoted value, then bytes
  // not written.
  return same + 3 >= cut.size() &&
         cut.find_first_not_of(kUnwritten, same) == std::string::npos;
}

void Check(const std::string& section, const std::string& key, const char* fallback,
           const std::string& path, std::size_t roomy) {
  const std::string whole = Query(section, key, fallback, path, roomy);
  if (whole.size() == roomy - 1) Fail("value fills the roomy buffer", section, key);
  if (whole.find_first_of(std::string_view("\0\r\n", 3)) != std::string::npos)
    Fail("value holds a NUL, CR or LF", section, key);
  for (const std::size_t size : {1u, 17u, 256u}) {
    const std::string cut = Query(section, key, fallback, path, size);
    if (!CutOf(cut, whole, size)) Fail("cut value is not a beginning of it", section, key);
  }
  if (gridloom::MyIniFile(path).ReadString(section.c_str(), key.c_str(), fallback) != whole)
    Fail("MyIniFile differs", section, key);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string_view data(reinterpret_cast<const char*>(bytes), size);
  static const unsigned kCodePages[] = {932, 65001, 1252};
  if (!GridloomSetACP(kCodePages[size == 0 ? 0 : bytes[0] % 3])) std::abort();
  const std::string path = gridloom::fuzz::WriteScratch("profile.ini", data);
  const std::string ansiPath = gridloom::fuzz::AnsiPath(path);
  // A value comes back at most three times as long as its bytes in the file: under UTF-8 one
  // bad byte becomes U+FFFD, three bytes.
  const std::size_t roomy = 3 * size + 64;

  std::string section = "table", key = "open";
  NamesIn(data, section, key);
  Check(section, key, "fallback", ansiPath, roomy);
  Check("tdEtc", "close", "", ansiPath, roomy);
  // No line holds an LF, so this section is never found.
  const std::string missing = "no\nsuch";
  if (Query(missing, "open", "fall back  ", ansiPath, roomy) != "fall back")
    Fail("missing section does not give the trimmed default", missing, "open");
  return 0;
}
