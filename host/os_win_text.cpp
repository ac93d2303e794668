// Names and text as Windows takes them: the command line read as UTF-16, names in the ANSI
// code page and the file system's rules for them, standard streams and the console.
#include "os_win.h"  // <windows.h> before the other headers of Windows
#include <shellapi.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>

#include "charset_win.h"
#include "gridloom/input_file.h"
#include "os.h"
#include "report.h"

namespace gridloom::host {

using win::Decode;
using win::Encode;
using win::HandleOf;
using win::IsConsole;
using win::LastErrno;

void PrepareProcess() {
  // libstdc++ makes a path of a string with the C library's multibyte conversion: the
  // locale's code page, made the system's ANSI code page (the user's locale may have another).
  const std::string ansi = "." + std::to_string(GetACP());
  if (std::setlocale(LC_CTYPE, ansi.c_str()) == nullptr) std::setlocale(LC_CTYPE, "");
  for (const int fd : {kStandardInput, kStandardOutput, kStandardError}) _setmode(fd, _O_BINARY);
  const HANDLE error = HandleOf(kStandardError);
  DWORD mode = 0;
  if (IsConsole(error) && GetConsoleMode(error, &mode)) {
    SetConsoleMode(error, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  }
}

std::vector<std::string> Arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) {
    const std::optional<std::string> ansi = Encode(wide[i], CP_ACP);
    if (i == 0) {  // the program's own name is no argument: it may lie where it likes
      arguments.push_back(ansi.value_or("gridloom"));
      continue;
    }
    if (!ansi) {
      const std::string bad = PathText(wide[i]);  // the nearest the code page has, to show it
      LocalFree(wide);
      throw UsageError("the argument " + bad + " cannot be written in code page " +
                       std::to_string(GetACP()) + ", the system's ANSI code page");
    }
    arguments.push_back(*ansi);
  }
  LocalFree(wide);
  return arguments;
}

std::string PathText(const std::filesystem::path& path) {
  // The separators are made / in UTF-16: in code page 932 the byte of a backslash is also
  // the second byte of many characters.
  std::wstring wide = path.native();
  if (wide.empty()) return {};
  std::replace(wide.begin(), wide.end(), L'\\', L'/');
  // A character the code page lacks is a ?, which names no file, never its nearest
  // neighbour, which could name another ("café" is not "cafe").
  const int size = static_cast<int>(std::min<std::size_t>(wide.size(), INT_MAX / 4));
  const DWORD flags = win::TakesNoFlags(GetACP()) ? 0 : WC_NO_BEST_FIT_CHARS;
  const int length =
      WideCharToMultiByte(CP_ACP, flags, wide.data(), size, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(std::max(length, 0)), '\0');
  WideCharToMultiByte(CP_ACP, flags, wide.data(), size, text.data(), length, nullptr, nullptr);
  return text;
}

std::string NameKey(std::string_view name) {
  std::optional<std::wstring> wide = Decode(name, CP_ACP);
  if (!wide || wide->empty() || wide->size() > INT_MAX) return std::string(name);
  // The file system's own comparison is that of CompareStringOrdinal without case.
  std::wstring upper(wide->size(), L'\0');
  const int size = static_cast<int>(wide->size());
  if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide->data(), size, upper.data(),
                    size, nullptr, nullptr, 0) != size) {
    return std::string(name);
  }
  return Encode(upper, CP_UTF8).value_or(std::string(name));
}

std::string UnreachableName(const std::filesystem::path& name) {
  const std::wstring& wide = name.native();
  if (wide.empty() || wide == L"." || wide == L"..") return {};
  if (wide.back() == L'.' || wide.back() == L' ') {
    return "Windows opens a name that ends in a dot or a space as another";
  }
  const std::optional<std::string> ansi = Encode(wide, CP_ACP);
  if (!ansi) {
    return "its name cannot be written in code page " + std::to_string(GetACP()) +
           ", the system's ANSI code page";
  }
  if (IsDeviceName(*ansi)) return "it has the name of a device of Windows";
  return {};
}

std::optional<std::filesystem::path> NameFromUtf8(std::string_view name) {
  std::wstring wide(name.size(), L'\0');
  const int length =
      name.empty() ? 0
                   : MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(),
                                         static_cast<int>(name.size()), wide.data(),
                                         static_cast<int>(wide.size()));
  if (length == 0 && !name.empty()) return std::nullopt;
  wide.resize(static_cast<std::size_t>(length));
  return std::filesystem::path(wide);
}

std::string UnwritableOutput(const std::filesystem::path& path) {
  const std::string name = PathText(path.filename());
  if (!IsDeviceName(name) || CompareStringOrdinal(path.filename().c_str(), -1, L"NUL", -1, TRUE) ==
                                 CSTR_EQUAL) {
    return {};
  }
  return "it has the name of a device of Windows, not of a file";
}

std::size_t CharacterLength(std::string_view text, std::size_t pos) {
  return pos + 1 < text.size() && IsDBCSLeadByteEx(CP_ACP, static_cast<BYTE>(text[pos])) ? 2
                                                                                          : 1;
}

int WriteAll(int fd, std::string_view data) {
  const HANDLE handle = HandleOf(fd);
  if (handle == INVALID_HANDLE_VALUE) return EBADF;
  while (!data.empty()) {
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 30));
    DWORD done = 0;
    if (!WriteFile(handle, data.data(), piece, &done, nullptr)) return LastErrno();
    data.remove_prefix(done);
  }
  return 0;
}

std::optional<int> WriteToConsole(int fd, std::u16string_view text) {
  const HANDLE handle = HandleOf(fd);
  if (!IsConsole(handle)) return std::nullopt;
  while (!text.empty()) {
    DWORD piece = static_cast<DWORD>(std::min<std::size_t>(text.size(), 8192));
    if (piece < text.size() && text[piece - 1] >= 0xD800 && text[piece - 1] <= 0xDBFF) --piece;
    DWORD done = 0;
    if (!WriteConsoleW(handle, text.data(), piece, &done, nullptr) || done == 0) {
      return LastErrno();
    }
    text.remove_prefix(done);
  }
  return 0;
}

int WriteText(int fd, std::string_view text, unsigned codePage) {
  if (IsConsole(HandleOf(fd))) {
    if (const std::optional<std::wstring> wide = Decode(text, codePage == 0 ? CP_ACP : codePage)) {
      return *WriteToConsole(
          fd, std::u16string_view(reinterpret_cast<const char16_t*>(wide->data()), wide->size()));
    }
  }
  return WriteAll(fd, text);
}

bool IsTerminal(int fd) { return IsConsole(HandleOf(fd)); }

}  // namespace gridloom::host
