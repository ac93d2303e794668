// Runs every case of a parity manifest through the plug-in, loaded at run time, and writes the
// UTF-16LE bytes of each result to <out-dir>/<case>.utf16 (a null BSTR: <case>.null). The same
// source builds against libgridloom.so on Linux and gridloom.dll on Windows; `compare` diffs
// the two output folders.
//
//   gridloom_parity <library> <manifest> <cases-dir> <out-dir> [<code page>]
//
// The ANSI code page (932 by default) is set for libgridloom.so; on Windows it is the
// system's, which must be the one given (Wine takes it from the locale: LC_ALL=zh_CN.UTF-8
// gives 936).
//
// Manifest lines: name, case folder, argument text, base directory suffix, separated by tabs.
// %HH stands for the byte HH (%25 for "%", %09 for a tab). The base directory is the case
// folder's path followed by the suffix as it stands (empty: the folder itself; "\": the folder
// with a trailing backslash). Blank lines and lines starting with "#" are skipped.
#define GRIDLOOM_NO_PROTOTYPES
#include "gridloom/gridloom.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <oleauto.h>
#else
#include <dlfcn.h>

#include "gridloom/winapi.h"
#endif

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace {

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

struct Case {
  int line = 0;
  std::string name, folder, argText, baseSuffix;
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Decodes %HH; false on a malformed escape.
bool Unescape(const std::string& text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = HexDigit(text[i + 1]), low = HexDigit(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high << 4 | low);
    i += 2;
  }
  return true;
}

bool ReadManifest(const std::string& path, std::vector<Case>& cases) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    std::fprintf(stderr, "cannot open manifest %s\n", path.c_str());
    return false;
  }
  std::string text;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, n);
  std::fclose(file);

  std::set<std::string> names;
  int lineNumber = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;

    std::vector<std::string> fields;
    for (std::size_t at = 0;;) {
      const std::size_t tab = line.find('\t', at);
      fields.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
      if (tab == std::string::npos) break;
      at = tab + 1;
    }
    Case c;
    c.line = lineNumber;
    if (fields.size() < 3 || fields.size() > 4 || fields[0].empty() || fields[1].empty() ||
        !Unescape(fields[2], c.argText) ||
        !Unescape(fields.size() == 4 ? fields[3] : std::string(), c.baseSuffix)) {
      std::fprintf(stderr, "%s:%d: malformed case line\n", path.c_str(), lineNumber);
      return false;
    }
    c.name = fields[0];
    c.folder = fields[1];
    if (!names.insert(c.name).second) {
      std::fprintf(stderr, "%s:%d: case %s named twice\n", path.c_str(), lineNumber,
                   c.name.c_str());
      return false;
    }
    cases.push_back(std::move(c));
  }
  return true;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

// The plug-in's PluginInline, loaded from the library file.
GridloomPluginInlineFn LoadPluginInline(const char* library) {
#ifdef _WIN32
  HMODULE module = LoadLibraryA(library);
  if (module == nullptr) {
    std::fprintf(stderr, "cannot load %s (error %lu)\n", library, GetLastError());
    return nullptr;
  }
  return reinterpret_cast<GridloomPluginInlineFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "PluginInline")));
#else
  void* module = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    std::fprintf(stderr, "cannot load %s: %s\n", library, dlerror());
    return nullptr;
  }
  return reinterpret_cast<GridloomPluginInlineFn>(dlsym(module, "PluginInline"));
#endif
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::fprintf(stderr,
                 "usage: %s <library> <manifest> <cases-dir> <out-dir> [<code page>]\n",
                 argv[0]);
    return 2;
  }
  const std::string casesDir = argv[3], outDir = argv[4];
  const UINT codePage = argc == 6 ? static_cast<UINT>(std::strtoul(argv[5], nullptr, 10)) : 932;

#ifdef _WIN32
  if (GetACP() != codePage) {
    std::fprintf(stderr, "the ANSI code page is %u, not %u: run under a locale that has it\n",
                 GetACP(), codePage);
    return 2;
  }
#else
  if (!GridloomSetACP(codePage)) {
    std::fprintf(stderr, "code page %u is not one that GridloomSetACP takes\n", codePage);
    return 2;
  }
#endif

  std::vector<Case> cases;
  if (!ReadManifest(argv[2], cases)) return 2;
  const GridloomPluginInlineFn pluginInline = LoadPluginInline(argv[1]);
  if (pluginInline == nullptr) {
    std::fprintf(stderr, "%s has no export PluginInline\n", argv[1]);
    return 2;
  }

  int failures = 0;
  for (const Case& c : cases) {
    const std::string base = casesDir + kSeparator + c.folder + c.baseSuffix;
    const BSTR result = pluginInline(0, c.argText.c_str(), 0, 0, base.c_str(), 0, 0);
    std::string bytes;
    const std::string stem = outDir + kSeparator + c.name;
    bool written;
    if (result == nullptr) {
      written = WriteFile(stem + ".null", bytes);
    } else {
      const UINT length = SysStringLen(result);
      for (UINT i = 0; i < length; ++i) {
        bytes += static_cast<char>(result[i] & 0xFF);
        bytes += static_cast<char>(result[i] >> 8 & 0xFF);
      }
      SysFreeString(result);
      written = WriteFile(stem + ".utf16", bytes);
    }
    if (!written) {
      std::fprintf(stderr, "cannot write the result of %s to %s\n", c.name.c_str(),
                   outDir.c_str());
      ++failures;
    }
  }
  std::printf("%zu cases run, results in %s\n", cases.size(), outDir.c_str());
  return failures == 0 ? 0 : 1;
}
