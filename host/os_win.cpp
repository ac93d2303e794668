// Files and the process on Windows: names as UTF-16, never through the ANSI functions, so
// that every name a folder holds can be opened; replacement with ReplaceFileW; Ctrl+C, Ctrl+Break
// and the closing of the console.
#include "os_win.h"  // <windows.h> before the other headers of Windows
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "os.h"

namespace gridloom::host {

namespace win {

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

}  // namespace win

namespace {

namespace fs = std::filesystem;
using win::HandleOf;
using win::LastErrno;

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

HANDLE OpenHandleToRead(const fs::path& path, DWORD flags = FILE_FLAG_SEQUENTIAL_SCAN) {
  return CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, flags,
                     nullptr);
}

// Opens a file or a folder only to read its record.
HANDLE OpenRecord(const fs::path& path) {
  return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

constexpr long long kFrom1601 = 116444736000000000LL;  // in 100 ns

long long NanosecondsSince1970(const LARGE_INTEGER& time) {
  return (time.QuadPart - kFrom1601) * 100;
}

long long NanosecondsSince1970(const FILETIME& time) {
  LARGE_INTEGER ticks{};
  ticks.LowPart = time.dwLowDateTime;
  ticks.HighPart = static_cast<LONG>(time.dwHighDateTime);
  return NanosecondsSince1970(ticks);
}

FILETIME FileTime(long long nanoseconds) {
  const unsigned long long ticks = static_cast<unsigned long long>(nanoseconds / 100 + kFrom1601);
  return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// A descriptor that owns handle; -1 and the handle closed when there is none to be had.
int DescriptorOf(HANDLE handle, int access) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | access);
  if (fd < 0) CloseHandle(handle);
  return fd;
}

}  // namespace

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

fs::path RealPath(const fs::path& path, std::error_code& error) {
  error.clear();
  // Opened for no access at all: a file another program holds locked is still named.
  const Handle handle(CreateFileW(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  std::wstring name(MAX_PATH, L'\0');
  DWORD length = 0;
  for (int tries = 0; handle.Valid() && tries < 2; ++tries) {
    length = GetFinalPathNameByHandleW(handle.Get(), name.data(), static_cast<DWORD>(name.size()),
                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length < name.size()) break;
    name.resize(length);  // the room it needs, its end included
  }
  if (!handle.Valid() || length == 0 || length >= name.size()) {
    error.assign(handle.Valid() && length != 0 ? ENAMETOOLONG : LastErrno(),
                 std::generic_category());
    return {};
  }
  name.resize(length);
  if (name.starts_with(L"\\\\?\\UNC\\")) return fs::path(L"\\\\" + name.substr(8));
  if (name.starts_with(L"\\\\?\\")) name.erase(0, 4);
  return fs::path(name);
}

int SetFileTimes(const fs::path& path, long long nanoseconds) {
  const Handle handle(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, kShareAll, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle.Valid()) return LastErrno();
  const FILETIME time = FileTime(nanoseconds);
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
  const Handle file(OpenHandleToRead(path, 0));
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

namespace os {

int CreateExclusive(const fs::path& name, int& error) {
  // Shared for deletion only: Ctrl+C's handler removes the file while it is being written.
  const HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE,
                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = LastErrno();
    return -1;
  }
  const int fd = DescriptorOf(handle, _O_WRONLY);
  if (fd < 0) DeleteFileW(name.c_str());
  error = fd < 0 ? EMFILE : 0;
  return fd;
}

int OpenToRead(const fs::path& path, int& error) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    error = EISDIR;
    return -1;
  }
  const HANDLE handle = OpenHandleToRead(path);
  if (handle == INVALID_HANDLE_VALUE) {
    error = LastErrno();
    return -1;
  }
  const int fd = DescriptorOf(handle, _O_RDONLY);
  error = fd < 0 ? EMFILE : 0;
  return fd;
}

int OpenStreamToRead(const fs::path& path) {
  const HANDLE handle = OpenHandleToRead(path, 0);
  return handle == INVALID_HANDLE_VALUE ? -1 : DescriptorOf(handle, _O_RDONLY);
}

int Read(int fd, char* buffer, std::size_t size, std::size_t& got) {
  DWORD done = 0;
  got = 0;
  const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
  if (!::ReadFile(HandleOf(fd), buffer, piece, &done, nullptr)) {
    const DWORD error = GetLastError();
    if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return 0;  // its end
    return win::ErrnoOf(error);
  }
  got = done;
  return 0;
}

unsigned long long SizeOf(int fd) {
  LARGE_INTEGER size{};
  return GetFileSizeEx(HandleOf(fd), &size) && size.QuadPart > 0
             ? static_cast<unsigned long long>(size.QuadPart)
             : 0;
}

int Close(int fd) { return _close(fd) == 0 ? 0 : EIO; }

bool RemoveName(const NameUnit* name) { return DeleteFileW(name) != 0; }

Entry Look(const fs::path& path, bool) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return {};
  Entry entry;
  entry.exists = true;
  entry.folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  entry.regular = !entry.folder;
  entry.link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  return entry;
}

int WriteTarget(const fs::path& path, fs::path& target) {
  target = path;
  return 0;
}

int OpenStreamToWrite(const fs::path& path, const Entry&, int& error) {
  // A device (NUL, CON; Windows gives them attributes) or a pipe, which only opening tells.
  error = 0;
  const HANDLE probe =
      CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return -1;
  if (GetFileType(probe) == FILE_TYPE_DISK) {
    CloseHandle(probe);
    return -1;
  }
  const int fd = DescriptorOf(probe, _O_WRONLY);
  if (fd < 0) error = EIO;
  return fd;
}

Stamp StampOf(const fs::path& path) {
  const Handle source(OpenRecord(path));
  FILETIME created, accessed, written;
  if (!source.Valid() || !GetFileTime(source.Get(), &created, &accessed, &written)) return {};
  return {true, 0, NanosecondsSince1970(accessed), NanosecondsSince1970(written)};
}

unsigned NewFileMode() { return 0; }

int SetMode(int, unsigned) { return 0; }

int SetTimes(int fd, long long accessed, long long modified) {
  const FILETIME access = FileTime(accessed), write = FileTime(modified);
  return SetFileTime(HandleOf(fd), nullptr, &access, &write) ? 0 : LastErrno();
}

int RenameOver(const fs::path& from, const fs::path& to, bool inherit) {
  // ReplaceFileW keeps the old file's attributes and security; MoveFileExW is for a file
  // that is new (or one ReplaceFileW cannot take).
  const bool replaced = inherit && ReplaceFileW(to.c_str(), from.c_str(), nullptr,
                                                REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
  if (!replaced &&
      !MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return LastErrno();
  }
  return 0;
}

fs::path TempFolder() {
  wchar_t folder[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
  return length > 0 && length <= MAX_PATH ? fs::path(folder) : fs::path(".");
}

unsigned long ProcessId() { return GetCurrentProcessId(); }

namespace {

void (*g_cleanup)() = nullptr;

BOOL WINAPI CleanUpAndStop(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  g_cleanup();
  return FALSE;  // the system's own handler then ends the process, as without ours
}

}  // namespace

void InstallCleanupHandler(void (*cleanup)()) {
  g_cleanup = cleanup;
  SetConsoleCtrlHandler(CleanUpAndStop, TRUE);
}

void HoldCleanupSignals() {}

void ReleaseCleanupSignals() {}

void AwaitInHandler(const std::atomic<int>& busy) {
  for (int waits = 0; busy.load() > 0 && waits < 1000; ++waits) Sleep(1);
}

}  // namespace os
}  // namespace gridloom::host
