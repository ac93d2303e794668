// The DLL's cost against Wine's own, in one process (bench/wine-dll runs it):
//
//   gridloom_wine_bench DLL LARGE.csv SMALL.csv SMALL.ini [ROUNDS]
//
// large: PluginInline of LARGE.csv through the DLL, best of ROUNDS calls (default 5), against
//   the floor of the same work done by Wine alone, best of ROUNDS: the CSV file read with
//   ReadFile, a BSTR as long as the result with every page written (SysAllocStringLen), and
//   the HTML text converted into it (MultiByteToWideChar(CP_ACP)).
// small: PluginInline of SMALL.csv with SMALL.ini, best of 20 x ROUNDS calls, against the
//   fourteen GetPrivateProfileStringA reads that the tag settings make, timed alone.
// Prints one line per figure: name, milliseconds, and the ratio where there is one.
#define GRIDLOOM_NO_PROTOTYPES
#include "gridloom/gridloom.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

double Now() {
  static const double perSecond = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) / perSecond * 1000.0;
}

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "gridloom_wine_bench: %s (error %lu)\n", what.c_str(), GetLastError());
  std::exit(1);
}

// The folder of a path and its last part, as PluginInline takes them.
void Split(const std::string& path, std::string& folder, std::string& name) {
  const std::size_t slash = path.find_last_of("\\/");
  folder = slash == std::string::npos ? "." : path.substr(0, slash);
  name = slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<char> ReadWholeFile(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) Die("cannot open " + path);
  LARGE_INTEGER size;
  GetFileSizeEx(file, &size);
  std::vector<char> bytes(static_cast<std::size_t>(size.QuadPart));
  std::size_t got = 0;
  while (got < bytes.size()) {
    DWORD n = 0;
    const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - got, 1u << 20));
    if (!ReadFile(file, bytes.data() + got, ask, &n, nullptr) || n == 0) break;
    got += n;
  }
  CloseHandle(file);
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s DLL LARGE.csv SMALL.csv SMALL.ini [ROUNDS]\n", argv[0]);
    return 2;
  }
  const int rounds = argc > 5 ? std::max(1, std::atoi(argv[5])) : 5;
  HMODULE module = LoadLibraryA(argv[1]);
  if (module == nullptr) Die(std::string("cannot load ") + argv[1]);
  const auto pluginInline = reinterpret_cast<GridloomPluginInlineFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "PluginInline")));
  if (pluginInline == nullptr) Die("no PluginInline");

  // The large table through the DLL, and the floor, a round of each in turn (so that both see
  // the same spells of a busy machine). The HTML text for the floor's conversion is the
  // DLL's first result in the ANSI code page.
  std::string folder, name;
  Split(argv[2], folder, name);
  const std::string args = "\"" + name + "\"";
  double dll = 1e300, floor = 1e300, parts[3] = {1e300, 1e300, 1e300};
  UINT units = 0;
  std::string html;
  for (int round = 0; round < rounds; ++round) {
    const double start = Now();
    BSTR result = pluginInline(0, args.c_str(), 0, 0, folder.c_str(), 0, 0);
    dll = std::min(dll, Now() - start);
    if (result == nullptr) Die("PluginInline gave no text");
    if (round == 0) {
      units = SysStringLen(result);
      const int bytes = WideCharToMultiByte(CP_ACP, 0, result, static_cast<int>(units), nullptr,
                                            0, nullptr, nullptr);
      html.resize(static_cast<std::size_t>(bytes));
      WideCharToMultiByte(CP_ACP, 0, result, static_cast<int>(units), html.data(), bytes,
                          nullptr, nullptr);
    }
    SysFreeString(result);

    const double floorStart = Now();
    const std::vector<char> csv = ReadWholeFile(argv[2]);
    const double read = Now();
    BSTR text = SysAllocStringLen(nullptr, units);
    if (text == nullptr) Die("no memory for the BSTR");
    for (UINT i = 0; i < units; i += 2048) text[i] = L' ';  // every page written
    const double allocated = Now();
    const int converted = MultiByteToWideChar(CP_ACP, 0, html.data(),
                                              static_cast<int>(html.size()), text,
                                              static_cast<int>(units));
    const double end = Now();
    floor = std::min(floor, end - floorStart);
    parts[0] = std::min(parts[0], read - floorStart);
    parts[1] = std::min(parts[1], allocated - read);
    parts[2] = std::min(parts[2], end - allocated);
    if (converted != static_cast<int>(units) || csv.empty()) Die("the floor's work failed");
    SysFreeString(text);
  }
  const int htmlBytes = static_cast<int>(html.size());

  // The small table, and the profile reads of its tags alone.
  Split(argv[3], folder, name);
  std::string iniFolder, iniName;
  Split(argv[4], iniFolder, iniName);
  const std::string smallArgs = "\"" + name + "\",\"" + iniName + "\"";
  double small = 1e300;
  for (int round = 0; round < 20 * rounds; ++round) {
    const double start = Now();
    BSTR result = pluginInline(0, smallArgs.c_str(), 0, 0, folder.c_str(), 0, 0);
    small = std::min(small, Now() - start);
    if (result == nullptr) Die("PluginInline gave no text for the small table");
    SysFreeString(result);
  }
  struct Read {
    const char* section;
    const char* key;
    const char* defaultValue;
  };
  const Read reads[14] = {
      {"table", "open", "<table>"}, {"table", "close", "</table>"},  {"tableRow", "open", "<tr>"},
      {"tableRow", "close", "</tr>"}, {"tdRow1", "open", ""},         {"tdRow1", "close", ""},
      {"tdRowX", "open", ""},       {"tdRowX", "close", ""},         {"tdCol1", "open", ""},
      {"tdCol1", "close", ""},      {"tdColX", "open", ""},          {"tdColX", "close", ""},
      {"tdEtc", "open", "<td>"},    {"tdEtc", "close", "</td>"}};
  const std::string iniPath = folder + "\\" + iniName;
  double profile = 1e300;
  char buffer[256];
  for (int round = 0; round < 20 * rounds; ++round) {
    const double start = Now();
    for (const Read& read : reads)
      GetPrivateProfileStringA(read.section, read.key, read.defaultValue, buffer, sizeof buffer,
                               iniPath.c_str());
    profile = std::min(profile, Now() - start);
  }

  std::printf("large_dll_ms %.2f\nlarge_floor_ms %.2f\nlarge_ratio %.3f\n", dll, floor,
              dll / floor);
  std::printf("floor_read_ms %.2f\nfloor_bstr_ms %.2f\nfloor_convert_ms %.2f\n", parts[0],
              parts[1], parts[2]);
  std::printf("small_dll_ms %.3f\nsmall_profile_ms %.3f\nsmall_ratio %.3f\n", small, profile,
              small / profile);
  std::printf("result_units %u\nhtml_bytes %d\n", units, htmlBytes);
  return 0;
}
