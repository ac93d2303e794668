// Files on Windows: files through the Windows calls (names as UTF-16, never through the ANSI functions, so that
// every name a folder holds can be opened), atomic replacement with ReplaceFileW, and the
// temporary files removed on Ctrl+C, Ctrl+Break and the closing of the console.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "charset_win.h"
#include "gridloom/input_file.h"
#include "text_io.h"

namespace gridloom::host {
namespace {

using win::Decode;
using win::Encode;
using win::TakesNoFlags;

namespace fs = std::filesystem;

// The errno that says what a Windows error says, so that messages read as on POSIX.
int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
      return EPIPE;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    default:
      return EIO;
  }
}
int LastErrno() { return ErrnoOf(GetLastError()); }

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

// A handle that closes itself.
class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (Valid()) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE Get() const { return handle_; }

 private:
  HANDLE handle_;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE OpenToRead(const fs::path& path, DWORD flags = FILE_FLAG_SEQUENTIAL_SCAN) {
  return CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, flags,
                     nullptr);
}

// Opens a file or a folder only to read its record.
HANDLE OpenRecord(const fs::path& path) {
  return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Hands what a handle gives, to its end, to sink in pieces; answers 0 or an errno.
int ReadAll(HANDLE handle, const std::function<int(std::string_view)>& sink) {
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(handle, buffer, sizeof buffer, &got, nullptr)) {
      const DWORD error = GetLastError();
      if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return 0;  // its end
      return ErrnoOf(error);
    }
    if (got == 0) return 0;
    if (const int error = sink(std::string_view(buffer, got))) return error;
  }
}

long long NanosecondsSince1970(const LARGE_INTEGER& time) {
  constexpr long long kFrom1601 = 116444736000000000LL;  // in 100 ns
  return (time.QuadPart - kFrom1601) * 100;
}

// Temporary files that Ctrl+C must remove. The handler runs on a thread of its own; one
// that finds a file being made waits for it, so none is missed.
struct TempSlot {
  std::atomic<bool> taken{false};
  std::atomic<bool> live{false};
  wchar_t path[1024];
};
TempSlot* g_slots = nullptr;
std::size_t g_slotCount = 0;
std::atomic<int> g_making{0};
std::atomic<bool> g_dying{false};
std::atomic<unsigned> g_serial{0};

BOOL WINAPI RemoveTempsAndStop(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  g_dying.store(true);
  for (int waits = 0; g_making.load() > 0 && waits < 1000; ++waits) Sleep(1);
  RemoveTemporaryFiles();
  return FALSE;  // the system's own handler then ends the process, as without ours
}

// Creates a new file in folder named prefix and a unique tail, registered for removal on
// Ctrl+C; answers the handle (INVALID_HANDLE_VALUE with the errno in error), the name and
// the slot (-1 when nothing is registered).
HANDLE MakeTemp(const fs::path& folder, const wchar_t* prefix, fs::path& name, int& slot,
                int& error) {
  slot = -1;
  g_making.fetch_add(1);
  HANDLE handle = INVALID_HANDLE_VALUE;
  error = EINTR;
  for (int attempt = 0; attempt < 100 && !g_dying.load(); ++attempt) {
    wchar_t tail[48];
    std::swprintf(tail, 48, L"%ls%08lx%04x", prefix, GetCurrentProcessId(),
                  g_serial.fetch_add(1) & 0xFFFF);
    name = folder / tail;
    // Shared for deletion only: Ctrl+C's handler removes the file while it is being written.
    handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) break;
    const DWORD why = GetLastError();
    error = ErrnoOf(why);
    if (why != ERROR_FILE_EXISTS && why != ERROR_ALREADY_EXISTS) break;
  }
  if (handle != INVALID_HANDLE_VALUE && name.native().size() < 1024) {
    for (std::size_t i = 0; i < g_slotCount; ++i) {
      bool expected = false;
      if (g_slots[i].taken.compare_exchange_strong(expected, true)) {
        std::wmemcpy(g_slots[i].path, name.c_str(), name.native().size() + 1);
        g_slots[i].live.store(true);
        slot = static_cast<int>(i);
        break;
      }
    }
  }
  g_making.fetch_sub(1);
  return handle;
}

void ReleaseTemp(int slot) {
  if (slot < 0) return;
  g_slots[slot].live.store(false);
  g_slots[slot].taken.store(false);
}

// A descriptor for a handle, for the writers that take one; it owns the handle.
int DescriptorOf(HANDLE handle) {
  return _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | _O_WRONLY);
}

}  // namespace

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

std::optional<std::vector<std::string>> Arguments(int argc, char** argv, std::string& bad) {
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
      bad = PathText(wide[i]);  // the nearest the code page has, to show it
      LocalFree(wide);
      return std::nullopt;
    }
    arguments.push_back(*ansi);
  }
  LocalFree(wide);
  return arguments;
}

std::string PathText(const fs::path& path) {
  // The separators are made / in UTF-16: in code page 932 the byte of a backslash is also
  // the second byte of many characters.
  std::wstring wide = path.native();
  if (wide.empty()) return {};
  std::replace(wide.begin(), wide.end(), L'\\', L'/');
  // A character the code page lacks is a ?, which names no file, never its nearest
  // neighbour, which could name another ("café" is not "cafe").
  const int size = static_cast<int>(std::min<std::size_t>(wide.size(), INT_MAX / 4));
  const DWORD flags = TakesNoFlags(GetACP()) ? 0 : WC_NO_BEST_FIT_CHARS;
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

std::string UnreachableName(const fs::path& name) {
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

std::string UnwritableOutput(const fs::path& path) {
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

std::string ReadFile(const fs::path& path) {
  const auto fail = [&path](int error) {
    throw IoError("cannot read " + PathText(path) + ": " + Reason(error));
  };
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    fail(EISDIR);
  }
  const Handle file(OpenToRead(path));
  if (!file.Valid()) fail(LastErrno());
  std::string data;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file.Get(), &size) && size.QuadPart > 0 &&
      static_cast<unsigned long long>(size.QuadPart) < data.max_size()) {
    data.reserve(static_cast<std::size_t>(size.QuadPart));
  }
  const int error = ReadAll(file.Get(), [&data](std::string_view piece) {
    data.append(piece);
    return 0;
  });
  if (error != 0) fail(error);
  return data;
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

FileInfo Examine(const fs::path& path) {
  FileInfo file;
  if (path.empty()) return file;
  // The file's number and volume are left out: asking for them costs three times the rest
  // under Wine, and the change time already moves when a file is replaced or written.
  const Handle handle(OpenRecord(path));
  FILE_BASIC_INFO times{};
  FILE_STANDARD_INFO size{};
  if (!handle.Valid() ||
      !GetFileInformationByHandleEx(handle.Get(), FileBasicInfo, &times, sizeof times) ||
      !GetFileInformationByHandleEx(handle.Get(), FileStandardInfo, &size, sizeof size)) {
    return file;
  }
  file.exists = true;
  file.folder = size.Directory != 0;
  file.regular = !file.folder && GetFileType(handle.Get()) == FILE_TYPE_DISK;
  file.size = static_cast<unsigned long long>(size.EndOfFile.QuadPart);
  file.mtime = NanosecondsSince1970(times.LastWriteTime);
  file.ctime = NanosecondsSince1970(times.ChangeTime);
  return file;
}

bool IsLink(const fs::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

int SetFileTimes(const fs::path& path, long long nanoseconds) {
  const Handle handle(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, kShareAll, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle.Valid()) return LastErrno();
  constexpr long long kFrom1601 = 116444736000000000LL;  // in 100 ns
  const unsigned long long ticks = static_cast<unsigned long long>(nanoseconds / 100 + kFrom1601);
  const FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  return SetFileTime(handle.Get(), nullptr, &time, &time) ? 0 : LastErrno();
}

fs::path CacheFolder() {
  const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
  if (local == nullptr || *local == L'\0') return {};
  return fs::path(local) / L"gridloom";
}

std::string WhyUnreadable(const fs::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Reason(LastErrno());
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return Reason(EISDIR);
  const Handle file(OpenToRead(path, 0));
  return file.Valid() ? std::string() : Reason(LastErrno());
}

fs::path ExecutableFile() {
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
    if (length == 0) return {};
    if (length < name.size()) {
      name.resize(length);
      return name;
    }
    if (name.size() >= 32768) return {};
    name.resize(name.size() * 2);
  }
}

std::optional<FileId> IdOf(const fs::path& path) {
  const Handle handle(OpenRecord(path));
  BY_HANDLE_FILE_INFORMATION info{};
  if (path.empty() || !handle.Valid() || !GetFileInformationByHandle(handle.Get(), &info)) {
    return std::nullopt;
  }
  return FileId{info.dwVolumeSerialNumber,
                static_cast<unsigned long long>(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
}

std::size_t RemoveTemporaryFiles() {
  std::size_t removed = 0;
  for (std::size_t i = 0; i < g_slotCount; ++i) {
    if (g_slots[i].live.load() && DeleteFileW(g_slots[i].path)) ++removed;
  }
  return removed;
}

void InstallSignalCleanup(std::size_t writers) {
  if (g_slots == nullptr) {
    g_slotCount = writers;
    g_slots = new TempSlot[writers];  // lives as long as the process
  }
  SetConsoleCtrlHandler(RemoveTempsAndStop, TRUE);
}

void WriteFileAtomic(const fs::path& path, std::string_view data, const fs::path* keep,
                     Existing existing) {
  WriteFileAtomic(path, [data](int fd) { return WriteAll(fd, data); }, keep, existing);
}

void WriteFileAtomic(const fs::path& path, const std::function<int(int)>& fill,
                     const fs::path* keep, Existing existing) {
  const auto fail = [&path](const std::string& reason) {
    throw IoError("cannot write " + (path.empty() ? std::string("''") : PathText(path)) + ": " +
                  reason);
  };
  if (path.empty()) fail("the name is empty");
  const wchar_t last = path.native().back();
  const DWORD attributes = GetFileAttributesW(path.c_str());
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) fail(Reason(EISDIR));
  if (last == L'/' || last == L'\\') fail("a name ending in / names a folder, not a file");
  const bool link = exists && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (exists && existing == Existing::kWriteThrough) {
    // A device (NUL, CON; Windows gives them attributes) or a pipe: written into, as a
    // redirection does. A name that does not exist yet is neither.
    const Handle probe(CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    if (probe.Valid() && GetFileType(probe.Get()) != FILE_TYPE_DISK) {
      HANDLE own = INVALID_HANDLE_VALUE;
      DuplicateHandle(GetCurrentProcess(), probe.Get(), GetCurrentProcess(), &own, 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
      const int fd = own == INVALID_HANDLE_VALUE ? -1 : DescriptorOf(own);
      if (fd < 0) fail(Reason(EIO));
      const int error = fill(fd);
      _close(fd);
      if (error != 0) fail(Reason(error));
      return;
    }
  }

  fs::path folder = path.parent_path();
  if (folder.empty()) folder = ".";
  fs::path temp;
  int slot = -1, error = 0;
  const HANDLE handle = MakeTemp(folder, L".gridloom-", temp, slot, error);
  if (handle == INVALID_HANDLE_VALUE) {
    if (error == EACCES || error == EROFS) {
      fail("the folder " + PathText(folder) + " is not writable (" + Reason(error) + ")");
    }
    fail(Reason(error));
  }
  const int fd = DescriptorOf(handle);
  if (fd < 0) {
    CloseHandle(handle);
    error = EMFILE;
  } else {
    error = fill(fd);
    if (error == 0 && keep != nullptr) {
      // A copy keeps its source's time.
      const Handle source(OpenRecord(*keep));
      FILETIME created, accessed, written;
      if (source.Valid() && GetFileTime(source.Get(), &created, &accessed, &written) &&
          !SetFileTime(handle, nullptr, &accessed, &written)) {
        error = LastErrno();
      }
    }
    if (_close(fd) != 0 && error == 0) error = EIO;
  }
  if (error == 0) {
    // ReplaceFileW keeps the old file's attributes and security; MoveFileExW is for a file
    // that is new (or one ReplaceFileW cannot take).
    const bool replaced = exists && !(link && existing == Existing::kReplace) &&
                          ReplaceFileW(path.c_str(), temp.c_str(), nullptr,
                                                 REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
    if (!replaced && !MoveFileExW(temp.c_str(), path.c_str(),
                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      error = LastErrno();
    }
  }
  if (error != 0) DeleteFileW(temp.c_str());
  ReleaseTemp(slot);
  if (error != 0) fail(Reason(error));
}

std::unique_ptr<TempCopy> CopyIfNotRegular(const std::string& path, const std::string& shown,
                                           const fs::path& beside) {
  if (path == "-") return std::make_unique<TempCopy>(kStandardInput, "standard input", beside);
  const FileInfo file = Examine(path);
  if (!file.exists || file.regular || file.folder) return nullptr;
  const HANDLE handle = OpenToRead(path, 0);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;  // the plug-in says why it cannot read it
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | _O_RDONLY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::unique_ptr<TempCopy> copy;
  try {
    copy = std::make_unique<TempCopy>(fd, shown, beside);
  } catch (...) {
    _close(fd);
    throw;
  }
  _close(fd);
  return copy;
}

TempCopy::TempCopy(int fd, const std::string& what, const fs::path& beside) {
  wchar_t folder[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
  const fs::path temp = length > 0 && length <= MAX_PATH ? fs::path(folder) : fs::path(".");
  std::error_code error;
  const bool elsewhere =
      !beside.empty() &&
      fs::absolute(beside, error).root_name() != fs::absolute(temp, error).root_name();
  fs::path name;
  int why = 0;
  HANDLE out = INVALID_HANDLE_VALUE;
  if (elsewhere) out = MakeTemp(beside, L".gridloom-", name, slot_, why);
  if (out == INVALID_HANDLE_VALUE) out = MakeTemp(temp, L"gridloom-", name, slot_, why);
  path_ = PathText(fs::absolute(name, error));
  if (out == INVALID_HANDLE_VALUE) {
    throw IoError("cannot copy " + what + " to " + path_ + ": " + Reason(why));
  }
  int writeError = 0;
  const int readError = ReadAll(HandleOf(fd), [&](std::string_view piece) {
    DWORD done = 0;
    while (!piece.empty()) {
      if (!WriteFile(out, piece.data(), static_cast<DWORD>(piece.size()), &done, nullptr)) {
        return writeError = LastErrno();
      }
      piece.remove_prefix(done);
    }
    return 0;
  });
  CloseHandle(out);
  if (readError != 0) {
    DeleteFileW(name.c_str());
    ReleaseTemp(slot_);
    if (writeError != 0) {
      throw IoError("cannot copy " + what + " to " + path_ + ": " + Reason(writeError));
    }
    throw IoError("cannot read " + what + ": " + Reason(readError));
  }
}

TempCopy::~TempCopy() {
  DeleteFileW(fs::path(path_).c_str());
  ReleaseTemp(slot_);
}

}  // namespace gridloom::host
