#include "gridloom/input_file.h"

#include <algorithm>
#include <climits>
#include <string>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "gridloom/native_path.h"
#endif

namespace gridloom {

bool IsDeviceName(std::string_view ansiPath) {
  // The last part of the path (after \ or /), up to its first dot, less trailing blanks.
  std::string_view name = ansiPath.substr(ansiPath.find_last_of("\\/") + 1);
  name = name.substr(0, name.find('.'));
  while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
  const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  const auto is = [&](std::string_view word) {
    return name.size() == word.size() &&
           std::equal(name.begin(), name.end(), word.begin(),
                      [&](char a, char b) { return upper(a) == b; });
  };
  if (is("CON") || is("PRN") || is("AUX") || is("NUL")) return true;
  if (name.size() != 4 || name[3] < '1' || name[3] > '9') return false;
  const std::string_view stem = name.substr(0, 3);
  const auto stemIs = [&](std::string_view word) {
    return std::equal(stem.begin(), stem.end(), word.begin(),
                      [&](char a, char b) { return upper(a) == b; });
  };
  return stemIs("COM") || stemIs("LPT");
}

#ifdef _WIN32

namespace {
HANDLE AsHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
}  // namespace

bool InputFile::Open(std::string_view ansiPath) {
  Close();
  if (IsDeviceName(ansiPath) || ansiPath.find('\0') != std::string_view::npos) return false;
  const std::string path(ansiPath);
  // Shared as the C runtime's files are, so that an editor that holds the file open for
  // writing does not stop the table.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<std::intptr_t>(file);
  LARGE_INTEGER size;
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size)) {
    Close();
    return false;
  }
  size_ = static_cast<std::uint64_t>(size.QuadPart);
  return true;
}

bool InputFile::Seek(std::uint64_t offset) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(offset);
  return handle_ != -1 && SetFilePointerEx(AsHandle(handle_), to, nullptr, FILE_BEGIN);
}

std::size_t InputFile::Read(char* buffer, std::size_t size) {
  if (handle_ == -1) return 0;
  DWORD got = 0;
  const auto ask = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
  if (!ReadFile(AsHandle(handle_), buffer, ask, &got, nullptr)) return 0;
  return got;
}

void InputFile::Close() {
  if (handle_ != -1) CloseHandle(AsHandle(handle_));
  handle_ = -1;
  size_.reset();
}

#else

bool InputFile::Open(std::string_view ansiPath) {
  Close();
  if (IsDeviceName(ansiPath) || ansiPath.find('\0') != std::string_view::npos) return false;
  const std::string path = NativePath(ansiPath);
  if (path.empty()) return false;
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  handle_ = fd;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    Close();
    return false;
  }
  if (S_ISREG(info.st_mode)) size_ = static_cast<std::uint64_t>(info.st_size);
  return true;
}

bool InputFile::Seek(std::uint64_t offset) {
  return handle_ != -1 && size_ && offset <= static_cast<std::uint64_t>(INT64_MAX) &&
         ::lseek(static_cast<int>(handle_), static_cast<off_t>(offset), SEEK_SET) >= 0;
}

std::size_t InputFile::Read(char* buffer, std::size_t size) {
  if (handle_ == -1) return 0;
  for (;;) {
    const ssize_t got =
        ::read(static_cast<int>(handle_), buffer, std::min<std::size_t>(size, 1u << 30));
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return 0;
  }
}

void InputFile::Close() {
  if (handle_ != -1) ::close(static_cast<int>(handle_));
  handle_ = -1;
  size_.reset();
}

#endif

InputFile::~InputFile() { Close(); }

}  // namespace gridloom
