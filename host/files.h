// Files for the host: whole-file reads, writes that never leave a truncated file (a temporary
// file in the same folder, renamed), copies of inputs that can be read once only, and the
// temporary files removed when a signal ends the process. One policy for every system
// (files.cpp), on the calls of os.h.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace gridloom::host {

// A file that cannot be read or written; the message names the file and the reason.
class IoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The bytes of a file. Throws IoError.
std::string ReadFile(const std::filesystem::path& path);

// What WriteFileAtomic does with what the name already names.
enum class Existing {
  kWriteThrough,  // a symlink's target is replaced and the link stays; a FIFO or a device is
                  // written into, as a shell's redirection does (an output the user names)
  kReplace,       // the name itself is replaced, whatever it was but a folder: nothing it
                  // leads to is touched (the files of an output folder)
};

// Replaces the file that path names with data: through a temporary file in its folder and
// a rename, so that the file is always either the old one or the whole new one (but for
// what kWriteThrough writes into). On failure the temporary file is removed. With keep, the
// new file gets that file's mode and times (a copy), else the old file's mode. Throws
// IoError naming path and the reason.
void WriteFileAtomic(const std::filesystem::path& path, std::string_view data,
                     const std::filesystem::path* keep = nullptr,
                     Existing existing = Existing::kWriteThrough);
// The same, with the content written by fill (which answers 0 or an errno).
void WriteFileAtomic(const std::filesystem::path& path, const std::function<int(int fd)>& fill,
                     const std::filesystem::path* keep = nullptr,
                     Existing existing = Existing::kWriteThrough);

// From here on, SIGINT, SIGTERM, SIGHUP and SIGQUIT (on Windows: Ctrl+C, Ctrl+Break and the
// console's closing) remove every temporary file of ours before the process ends as the
// signal says. writers: how many temporary files can exist at
// once (one a thread that writes, and the copies below). Signals that are ignored stay so.
void InstallSignalCleanup(std::size_t writers);
// What those handlers do (async-signal-safe): removes every temporary file of ours that
// exists, even while it is being written; answers how many it removed.
std::size_t RemoveTemporaryFiles();

class TempCopy;
// A copy of an input that is not a regular file (standard input for "-", a pipe, a device),
// for inputs that must be read more than once; nothing for a regular file or a folder, or
// one that cannot be opened (its reader then says why). shown: its name in messages. beside:
// a folder on whose drive the copy must lie, as the plug-in joins one base folder to every
// name (Windows; a POSIX system has one tree).
std::unique_ptr<TempCopy> CopyIfNotRegular(const std::string& path, const std::string& shown,
                                           const std::filesystem::path& beside = {});

// A regular file holding what a descriptor gives (standard input, a pipe, a device), for
// inputs that must be read more than once. Made in $TMPDIR (or /tmp; on Windows in %TEMP%,
// or in beside when %TEMP% is on another drive), removed when destroyed or by a signal.
// Throws IoError naming what.
class TempCopy {
 public:
  TempCopy(int fd, const std::string& what, const std::filesystem::path& beside = {});
  ~TempCopy();
  TempCopy(const TempCopy&) = delete;
  TempCopy& operator=(const TempCopy&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  int slot_ = -1;
};

}  // namespace gridloom::host
