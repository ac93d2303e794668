// PluginInline on arbitrary argument text, resolved against a scratch directory that holds a
// table, an INI file of tags, an empty file and a subdirectory. The reference reader splits
// the argument text; whatever the two names resolve to decides the one right answer: the
// reference table of that file with the tags of the INI file (or the default tags), or the
// failure comment when the CSV name names no readable file. Names that climb out of the
// scratch directory with ".." are not tried: they could name any file of the machine.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bstr_text.h"
#include "fuzz_files.h"
#include "gridloom/gridloom.h"
#include "gridloom/native_path.h"
#include "gridloom/winapi.h"
#include "plugin/inline_call.h"
#include "reference.h"

namespace {

namespace ref = gridloom::reference;

constexpr std::string_view kTable = "n,\"<b>&amp;\"\r\n\"line\r\nbreak\",'x',\"q\"\"q\"\r\nlast\r\n";
constexpr std::string_view kIni =
    "[table]\r\nopen=<table class=\"t\">\r\n[tdRow1]\r\nopen=<th>\r\nclose=</th>\r\n"
    "[tdColX]\r\nopen=\"<td class='x'>\"\r\nclose=</td>\r\n";

struct Scratch {
  std::string base;  // ANSI, Windows separators
  ino_t table = 0, ini = 0, empty = 0;
  ref::Tags iniTags;
};

ino_t Inode(const std::string& path) {
  struct stat info{};
  if (stat(path.c_str(), &info) != 0) std::abort();
  return info.st_ino;
}

const Scratch& Files() {
  static const Scratch scratch = [] {
    using gridloom::fuzz::WriteScratch;
    Scratch s;
    s.base = gridloom::fuzz::AnsiPath(gridloom::fuzz::ScratchDir());
    s.table = Inode(WriteScratch("a.csv", kTable));
    s.ini = Inode(WriteScratch("b.ini", kIni));
    s.empty = Inode(WriteScratch("c.csv", ""));
    std::filesystem::create_directory(gridloom::fuzz::ScratchDir() + "/sub");
    s.iniTags.open[0] = "<table class=\"t\">";
    s.iniTags.open[2] = "<th>";
    s.iniTags.close[2] = "</th>";
    s.iniTags.open[5] = "<td class='x'>";
    s.iniTags.close[5] = "</td>";
    return s;
  }();
  return scratch;
}

// What the joined path names: a regular file's inode, or 0 for anything else.
ino_t Resolve(const std::string& name) {
  struct stat info{};
  const std::string path = gridloom::NativePath(Files().base + "\\" + name);
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  return info.st_ino;
}

std::u16string Widen(std::string_view ascii) { return {ascii.begin(), ascii.end()}; }

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "inline call: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(bytes), size);
  const Scratch& files = Files();

  ref::Stream argument{std::string_view(text.c_str())};
  ref::Fields names = ref::ReadRecord(argument);
  names.resize(2);
  if (names[0].find("..") != std::string::npos || names[1].find("..") != std::string::npos)
    return -1;

  std::u16string expected = gridloom::testsupport::kFailureComment;
  const ino_t csv = Resolve(names[0]);
  if (csv != 0) {
    const ref::Tags tags = Resolve(names[1]) == files.ini ? files.iniTags : ref::Tags{};
    std::string_view content;
    if (csv == files.table) {
      content = kTable;
    } else if (csv == files.ini) {
      content = kIni;
    } else if (csv != files.empty) {
      Fail("the name resolves to a file that was not made");
    }
    expected = Widen(ref::Render(ref::LoadRows(content), tags, ref::Leads932()));
  }

  BSTR result = PluginInline(0, text.c_str(), 0, 0, files.base.c_str(), 0, 0);
  if (result == nullptr) Fail("null result");
  const std::u16string got(result, SysStringLen(result));
  SysFreeString(result);
  if (got != expected) {
    for (const std::u16string* shown : {&std::as_const(expected), &got}) {
      std::fprintf(stderr, "%s: ", shown == &got ? "got" : "expected");
      for (const char16_t c : *shown) std::fprintf(stderr, c < 0x80 ? "%c" : "\\u%04x", c);
      std::fprintf(stderr, "\n");
    }
    Fail("result differs from the reference");
  }
  return 0;
}
