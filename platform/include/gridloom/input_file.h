// The CSV file of a table, opened by its ANSI path with Windows separators and read from an
// offset to its end in large reads of the system's file API (ReadFile on Windows, read on
// POSIX). A name whose last part is a device name of Windows (CON, PRN, AUX, NUL, COM1 to
// COM9, LPT1 to LPT9, with any extension, in any case) names no file on any system, and on
// Windows a handle that is not a disk file is not read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace gridloom {

// Whether the last part of an ANSI path is a device name of Windows.
bool IsDeviceName(std::string_view ansiPath);

class InputFile {
 public:
  InputFile() = default;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  // False when the file cannot be read: it is missing or unreadable, a folder or a device
  // name (on Windows: any handle but a disk file's).
  bool Open(std::string_view ansiPath);
  // The file's size when it is a regular file; nothing for a pipe or a device (POSIX).
  std::optional<std::uint64_t> Size() const { return size_; }
  // Goes to an offset of a regular file; false where that cannot be done.
  bool Seek(std::uint64_t offset);
  // Reads up to size bytes; answers how many: 0 at the end of the data or on a read error.
  std::size_t Read(char* buffer, std::size_t size);

 private:
  void Close();

  std::intptr_t handle_ = -1;  // a HANDLE on Windows, a file descriptor on POSIX
  std::optional<std::uint64_t> size_;
};

}  // namespace gridloom
