// A Windows host that tests gridloom.dll the way a host application uses it: it loads the
// DLL with LoadLibraryA, looks each export up by its undecorated name and calls it. It writes
// its CSV and INI files into a temporary folder, in the ANSI code page, which must be 932.
//
//   gridloom_test_host [path\to\gridloom.dll]   (default: gridloom.dll beside the program)
//
// Prints each failure and "N passed, N failed"; the exit status is 1 on any failure.
#define GRIDLOOM_NO_PROTOTYPES
#include "gridloom/gridloom.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <oleauto.h>

#include "bstr_text.h"

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <vector>

// The plug-in is a 32-bit DLL; the 64-bit build of this host tests the 64-bit DLL that stands
// in for it where the kernel runs no 32-bit programs. Only the calling convention is
// i386's alone (x64 has one convention).
#if defined(__i386__)
constexpr WORD kMachine = IMAGE_FILE_MACHINE_I386;
#elif defined(__x86_64__)
constexpr WORD kMachine = IMAGE_FILE_MACHINE_AMD64;
#endif
static_assert(std::is_same_v<GridloomPluginInlineFn,
                             BSTR(__stdcall*)(intptr_t, const char*, intptr_t, intptr_t,
                                              const char*, intptr_t, intptr_t)>,
              "PluginInline is called as __stdcall");

namespace {

// ---- results ----

int passed = 0, failed = 0;

void Expect(bool ok, const std::string& what, const std::string& detail = {}) {
  if (ok) {
    ++passed;
    return;
  }
  ++failed;
  std::printf("FAIL %s%s%s\n", what.c_str(), detail.empty() ? "" : ": ", detail.c_str());
}

// Wide text as ASCII, with \uXXXX for everything else.
std::string Show(const wchar_t* text, std::size_t length) {
  std::string shown;
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned c = static_cast<unsigned short>(text[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      shown += static_cast<char>(c);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", c);
      shown += escape;
    }
  }
  return shown;
}

std::string Show(const std::wstring& text) { return Show(text.data(), text.size()); }

// Checks a BSTR's length, code units and closing NUL against the expected text, and frees it.
void ExpectText(BSTR actual, const std::wstring& expected, const std::string& what) {
  if (actual == nullptr) {
    Expect(false, what, "null BSTR, expected \"" + Show(expected) + "\"");
    return;
  }
  const bool terminated = actual[SysStringLen(actual)] == L'\0';
  const std::u16string got = gridloom::testsupport::Take(actual);
  const std::wstring text(got.begin(), got.end());
  Expect(text == expected && terminated, what,
         "\n    got      \"" + Show(text) + "\"\n    expected \"" + Show(expected) +
             (terminated ? "\"" : "\"\n    and no NUL after the text"));
}

// ---- the plug-in ----

struct Plugin {
  HMODULE module = nullptr;
  GridloomPluginTypeFn getPluginType = nullptr;
  GridloomTextFn getName = nullptr, getVersion = nullptr, getAuthor = nullptr,
                 getSyntax = nullptr, getDescription = nullptr, getExample = nullptr;
  GridloomPluginInlineFn pluginInline = nullptr;
};

const char* const kExportNames[] = {"GetPluginType", "GetName",        "GetVersion",
                                    "GetAuthor",     "GetSyntax",      "GetDescription",
                                    "GetExample",    "PluginInline"};

template <typename Fn>
void Find(HMODULE module, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  Expect(fn != nullptr, std::string("GetProcAddress finds ") + name);
}

bool Load(const std::string& path, Plugin& plugin) {
  plugin.module = LoadLibraryA(path.c_str());
  if (plugin.module == nullptr) {
    Expect(false, "LoadLibraryA " + path, "error " + std::to_string(GetLastError()));
    return false;
  }
  Find(plugin.module, "GetPluginType", plugin.getPluginType);
  Find(plugin.module, "GetName", plugin.getName);
  Find(plugin.module, "GetVersion", plugin.getVersion);
  Find(plugin.module, "GetAuthor", plugin.getAuthor);
  Find(plugin.module, "GetSyntax", plugin.getSyntax);
  Find(plugin.module, "GetDescription", plugin.getDescription);
  Find(plugin.module, "GetExample", plugin.getExample);
  Find(plugin.module, "PluginInline", plugin.pluginInline);
  return plugin.getPluginType && plugin.getName && plugin.getVersion && plugin.getAuthor &&
         plugin.getSyntax && plugin.getDescription && plugin.getExample && plugin.pluginInline;
}

// ---- the DLL's export and import tables, read from the loaded image ----

bool SameNameIgnoringCase(const char* a, const char* b) { return lstrcmpiA(a, b) == 0; }

void TestImageTables(HMODULE module) {
  const auto* base = reinterpret_cast<const unsigned char*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  Expect(nt->FileHeader.Machine == kMachine, "the DLL is an image of this host's machine");
  const IMAGE_DATA_DIRECTORY* directories = nt->OptionalHeader.DataDirectory;

  // Exactly the eight names, none decorated.
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(
      base + directories[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress);
  Expect(exports->NumberOfFunctions == 8 && exports->NumberOfNames == 8,
         "the export table holds eight functions, all by name",
         std::to_string(exports->NumberOfFunctions) + " functions, " +
             std::to_string(exports->NumberOfNames) + " names");
  const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  std::vector<std::string> exported;
  for (DWORD i = 0; i < exports->NumberOfNames; ++i)
    exported.emplace_back(reinterpret_cast<const char*>(base + names[i]));
  for (const char* wanted : kExportNames) {
    bool found = false;
    for (const std::string& name : exported) found = found || name == wanted;
    Expect(found, std::string("the export table names ") + wanted);
  }
  for (const std::string& name : exported) {
    bool known = false;
    for (const char* wanted : kExportNames) known = known || name == wanted;
    Expect(known, "no other export", name);
  }
  for (const char* decorated : {"_PluginInline@28", "PluginInline@28", "_GetName@0"}) {
    Expect(GetProcAddress(module, decorated) == nullptr,
           std::string("no decorated export ") + decorated);
  }

  // Imports: system DLLs only, no MinGW runtime.
  const char* const systemDlls[] = {"kernel32.dll", "msvcrt.dll", "oleaut32.dll",
                                    "user32.dll",   "advapi32.dll", "ntdll.dll"};
  const auto* import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(
      base + directories[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress);
  int importCount = 0;
  for (; import->Name != 0; ++import, ++importCount) {
    const char* dll = reinterpret_cast<const char*>(base + import->Name);
    bool system = false;
    for (const char* allowed : systemDlls) system = system || SameNameIgnoringCase(dll, allowed);
    Expect(system, "the DLL imports only system DLLs", dll);
  }
  Expect(importCount > 0, "the import table is read", "no import descriptors found");
}

// ---- the information exports ----

void TestInformationExports(const Plugin& plugin) {
  Expect(plugin.getPluginType() == 1, "GetPluginType answers 1 before any other call");
  Expect(plugin.getPluginType() == 1, "GetPluginType answers 1 again");

  struct TextCase {
    const char* name;
    GridloomTextFn fn;
    std::wstring expected;
  };
  const TextCase cases[] = {
      {"GetName", plugin.getName, L"gridloom"},
      {"GetVersion", plugin.getVersion, L"0.5.0"},
      {"GetSyntax", plugin.getSyntax, L"&gridloom(\u30D5\u30A1\u30A4\u30EB\u540D)"},
      {"GetDescription", plugin.getDescription,
       L"CSV\u5F62\u5F0F\u306E\u30D5\u30A1\u30A4\u30EB\u304B\u3089\u8868\u3092\u4F5C\u6210"
       L"\u3057\u307E\u3059."},
      {"GetExample", plugin.getExample, L"&gridloom(\"../data/table1.csv\",\"../param.ini\")"},
  };
  for (const TextCase& c : cases) ExpectText(c.fn(), c.expected, c.name);

  BSTR author = plugin.getAuthor();
  Expect(author != nullptr && SysStringLen(author) > 0, "GetAuthor gives a name");
  SysFreeString(author);

  // Two calls, two strings: freeing one leaves the other.
  BSTR first = plugin.getName();
  BSTR second = plugin.getName();
  ExpectText(first, L"gridloom", "the first of two GetName calls");
  ExpectText(second, L"gridloom", "the second GetName after the first was freed");
}

// ---- files ----

// A temporary folder that removes what was made in it.
class Scratch {
 public:
  Scratch() {
    char temp[MAX_PATH];
    const DWORD n = GetTempPathA(MAX_PATH, temp);
    // A name of its own: an earlier run that was stopped may have left its folder behind.
    const std::string stem =
        std::string(temp, n) + "gridloom-host-" + std::to_string(GetCurrentProcessId());
    for (int attempt = 0; attempt < 100 && !ok_; ++attempt) {
      root_ = stem + (attempt == 0 ? "" : "-" + std::to_string(attempt));
      ok_ = CreateDirectoryA(root_.c_str(), nullptr) != 0;
    }
    if (ok_) made_.push_back(root_ + "\\");
  }
  ~Scratch() {
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
      if (!it->empty() && it->back() == '\\')
        RemoveDirectoryA(it->substr(0, it->size() - 1).c_str());
      else
        DeleteFileA(it->c_str());
    }
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  bool ok() const { return ok_; }
  const std::string& root() const { return root_; }

  // A folder for one case.
  std::string Folder(const std::string& name) {
    const std::string path = root_ + "\\" + name;
    if (!CreateDirectoryA(path.c_str(), nullptr)) return {};
    made_.push_back(path + "\\");
    return path;
  }
  // name ending in a backslash: a folder; otherwise a file with these bytes.
  bool Write(const std::string& folder, const std::string& name, const std::string& bytes) {
    const std::string path = folder + "\\" + name;
    if (!name.empty() && name.back() == '\\') {
      if (!CreateDirectoryA(path.substr(0, path.size() - 1).c_str(), nullptr)) return false;
      made_.push_back(path);
      return true;
    }
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                              nullptr);
    CloseHandle(file);
    bool known = false;
    for (const std::string& made : made_) known = known || made == path;
    if (!known) made_.push_back(path);
    return ok && written == bytes.size();
  }

 private:
  std::string root_;
  bool ok_ = false;
  std::vector<std::string> made_;
};

// ---- expected HTML ----

using Rows = std::initializer_list<std::initializer_list<std::wstring>>;

// A table with the default tags.
std::wstring Table(Rows rows) {
  std::wstring html = L"<table>";
  for (const auto& row : rows) {
    html += L"<tr>";
    for (const std::wstring& cell : row) html += L"<td>" + cell + L"</td>";
    html += L"</tr>";
  }
  return html + L"</table>";
}

const std::wstring kFailureComment(gridloom::testsupport::kFailureComment.begin(),
                                   gridloom::testsupport::kFailureComment.end());

// ---- PluginInline ----

struct File {
  std::string name;  // ANSI, relative to the case folder; a trailing backslash makes a folder
  std::string bytes;
};

struct TableCase {
  const char* name;
  std::vector<File> files;
  std::string argText;
  std::string baseSuffix;  // appended to the case folder's path to make the base directory
  std::wstring expected;
};

const char kHeaderIni[] = "[tdRow1]\r\nopen=<th>\r\nclose=</th>\r\n";

// What only the DLL under Windows can show. The cases of the table itself (loading, cell text,
// tags, the argument text and the base directory, a missing file) run through both builds
// as the parity cases (tests/parity/cases.txt, scripts/test-windows), whose results must be
// identical, and the Linux tests check the same cases' results.
std::vector<TableCase> TableCases() {
  std::string manyRows;
  for (int row = 0; row < 200000; ++row) manyRows += ",,,,,,,,,\r\n";
  return {
      {"an empty HTML text gives an empty BSTR",
       {{"t.csv", ""},
        {"p.ini", "[table]\r\nopen=\r\nclose=\r\n"}},
       "\"t.csv\",\"p.ini\"", "", L""},
      // Devices: a name whose last part is a device name of Windows names no file here (COM1
      // and AUX opened a serial device, and reading it hung the host).
      {"COM1 as the CSV name", {}, "\"COM1\"", "", kFailureComment},
      {"aux.csv as the CSV name", {}, "\"aux.csv\"", "", kFailureComment},
      {"CON as the CSV name", {}, "\"CON\"", "", kFailureComment},
      {"NUL as the CSV name", {}, "\"NUL\"", "", kFailureComment},
      {"lpt1.csv in a folder as the CSV name", {}, "\"sub\\lpt1.csv\"", "", kFailureComment},
      // Tables whose HTML no BSTR holds, and whose sizes do not fit 32 bits: one line of a
      // million commas with a 4,290-byte cell tag (4.3 GB: it wrapped around and wrote past
      // its buffer), and 200,000 rows of ten empty cells with a 2 KB cell tag.
      {"a million commas with a long cell tag",
       {{"t.csv", std::string(1000000, ',')},
        {"p.ini", "[tdEtc]\r\nopen=" + std::string(4290, 'x') + "\r\n"}},
       "\"t.csv\",\"p.ini\"", "", kFailureComment},
      {"many rows with a long cell tag",
       {{"t.csv", manyRows}, {"p.ini", "[tdEtc]\r\nopen=" + std::string(2048, 'y') + "\r\n"}},
       "\"t.csv\",\"p.ini\"", "", kFailureComment},
  };
}

void TestTables(const Plugin& plugin, Scratch& scratch) {
  int index = 0;
  for (const TableCase& c : TableCases()) {
    const std::string folder = scratch.Folder("case" + std::to_string(++index));
    bool ready = !folder.empty();
    for (const File& file : c.files) ready = ready && scratch.Write(folder, file.name, file.bytes);
    if (!ready) {
      Expect(false, c.name, "cannot write the case's files under " + scratch.root());
      continue;
    }
    const std::string base = folder + c.baseSuffix;
    ExpectText(plugin.pluginInline(0, c.argText.c_str(), 0, 0, base.c_str(), 0, 0), c.expected,
               c.name);
  }
}

void TestChangedFile(const Plugin& plugin, Scratch& scratch) {
  const std::string folder = scratch.Folder("changing");
  const char arg[] = "\"t.csv\",\"p.ini\"";
  Expect(scratch.Write(folder, "t.csv", "a\r\n"), "write t.csv");
  ExpectText(plugin.pluginInline(0, arg, 0, 0, folder.c_str(), 0, 0), Table({{L"a"}}),
             "a table before its CSV file changes");
  Expect(scratch.Write(folder, "t.csv", "b\r\n"), "rewrite t.csv");
  Expect(scratch.Write(folder, "p.ini", kHeaderIni), "write p.ini");
  ExpectText(plugin.pluginInline(0, arg, 0, 0, folder.c_str(), 0, 0),
             L"<table><tr><th>b</th></tr></table>", "the next call reads the changed files");
}

// ---- the calling convention (i386) ----

#if defined(__i386__)

struct StackDelta {
  BSTR result;
  std::uintptr_t removed;  // bytes the callee left pushed: 0 when it popped its arguments
};

// Pushes seven 32-bit arguments on a stack aligned to 16 bytes less misalign (hosts built by
// other compilers align it to 4 bytes only), calls fn, and measures the stack pointer after
// the return against its value before the pushes. The stack is restored either way.
StackDelta CallSevenArguments(const void* fn, const std::uint32_t (&args)[7],
                              std::uint32_t misalign = 0) {
  std::uintptr_t start, after;
  BSTR result;
  const void* target = fn;
  std::uint32_t offset = misalign;
  asm volatile(
      "movl %%esp, %%esi\n\t"
      "andl $-16, %%esp\n\t"
      "subl %%edx, %%esp\n\t"
      "pushl 24(%%ebx)\n\t"
      "pushl 20(%%ebx)\n\t"
      "pushl 16(%%ebx)\n\t"
      "pushl 12(%%ebx)\n\t"
      "pushl 8(%%ebx)\n\t"
      "pushl 4(%%ebx)\n\t"
      "pushl (%%ebx)\n\t"
      "call *%%ecx\n\t"
      "movl %%esp, %%edi\n\t"
      "movl %%esi, %%esp\n\t"
      : "=a"(result), "=S"(start), "=D"(after), "+c"(target), "+d"(offset)
      : "b"(args)
      : "memory", "cc");
  const std::uintptr_t before = (start & ~std::uintptr_t{15}) - misalign;
  return {result, before - after};
}

BSTR __stdcall CalleePops(intptr_t, const char*, intptr_t, intptr_t, const char*, intptr_t,
                          intptr_t) {
  return nullptr;
}

BSTR __cdecl CallerPops(intptr_t, const char*, intptr_t, intptr_t, const char*, intptr_t,
                        intptr_t) {
  return nullptr;
}

void TestCallingConvention(const Plugin& plugin, Scratch& scratch) {
  // The measurement itself: a __stdcall function removes its 28 bytes, a __cdecl one none.
  const std::uint32_t zeros[7] = {};
  Expect(CallSevenArguments(reinterpret_cast<const void*>(&CalleePops), zeros).removed == 0,
         "the stack check sees a __stdcall callee pop its arguments");
  Expect(CallSevenArguments(reinterpret_cast<const void*>(&CallerPops), zeros).removed == 28,
         "the stack check sees a __cdecl callee leave its arguments");

  const std::string folder = scratch.Folder("stack");
  Expect(scratch.Write(folder, "t.csv", "a,b\r\n"), "write t.csv");
  const char* const argTexts[] = {"\"t.csv\",\"p.ini\"", "\"none.csv\""};
  const std::wstring expected[] = {Table({{L"a", L"b"}}), kFailureComment};
  for (int i = 0; i < 8; ++i) {
    const std::uint32_t misalign = static_cast<std::uint32_t>(i / 2 * 4);  // 0, 4, 8, 12
    const std::uint32_t args[7] = {
        0x11111111, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(argTexts[i % 2])),
        0x33333333, 0x44444444,
        static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(folder.c_str())),
        0x66666666, 0x77777777};
    const StackDelta call =
        CallSevenArguments(reinterpret_cast<const void*>(plugin.pluginInline), args, misalign);
    Expect(call.removed == 0, "PluginInline removes its seven arguments from the stack",
           std::to_string(call.removed) + " bytes left");
    ExpectText(call.result, expected[i % 2],
               "PluginInline called on a stack aligned to 16 less " + std::to_string(misalign));
  }

  // Through the __stdcall function pointer type of gridloom.h.
  std::uintptr_t before, after;
  asm volatile("movl %%esp, %0" : "=r"(before) : : "memory");
  BSTR result = plugin.pluginInline(1, argTexts[0], 3, 4, folder.c_str(), 6, 7);
  asm volatile("movl %%esp, %0" : "=r"(after) : : "memory");
  Expect(before == after, "the stack pointer is the same after a call through "
                          "GridloomPluginInlineFn",
         std::to_string(static_cast<long>(before - after)) + " bytes apart");
  ExpectText(result, expected[0], "PluginInline through GridloomPluginInlineFn");
}
#endif

std::string DllBesideProgram() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dir(path, n);
  dir.erase(dir.find_last_of("\\/") + 1);
  return dir + "gridloom.dll";
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dll = argc > 1 ? argv[1] : DllBesideProgram();
  if (GetACP() != 932) {
    std::printf("The ANSI code page is %u, not 932: run under LC_ALL=ja_JP.UTF-8.\n", GetACP());
    return 2;
  }
  Plugin plugin;
  if (Load(dll, plugin)) {
    TestImageTables(plugin.module);
    TestInformationExports(plugin);
    Scratch scratch;
    if (scratch.ok()) {
#if defined(__i386__)
      TestCallingConvention(plugin, scratch);
#endif
      TestTables(plugin, scratch);
      TestChangedFile(plugin, scratch);
    } else {
      Expect(false, "a temporary folder", scratch.root());
    }
  }
  std::printf("gridloom.dll under test: %s\n%d passed, %d failed\n", dll.c_str(), passed, failed);
  return failed == 0 ? 0 : 1;
}
