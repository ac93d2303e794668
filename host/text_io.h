// Files for the host: whole-file reads, and writes that never leave a truncated file (a
// temporary file in the same folder, renamed); charsets are in charset.h. What differs
// between systems is in text_io_posix.cpp (the POSIX calls) and text_io_win.cpp (the Windows
// calls); names are bytes on both: the ANSI code page's on Windows.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "charset.h"

namespace gridloom::host {

// A file that cannot be read or written; the message names the file and the reason.
class IoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A path as the host's names are: bytes in the ANSI code page on Windows (where
// path::string() would give UTF-8, and a path made of a string reads it in the code page),
// with / between names as elsewhere (Windows takes either); the path's own bytes elsewhere.
std::string PathText(const std::filesystem::path& path);

// Whether names (the command line's, the file system's) are in the ANSI code page already,
// as on Windows, rather than in UTF-8; messages are written in the same encoding.
#ifdef _WIN32
inline constexpr bool kAnsiNames = true;
#else
inline constexpr bool kAnsiNames = false;
#endif
// What a message about a name the code page lacks adds: on POSIX the code page can be chosen.
inline constexpr const char* kWiderCodePageHint =
    kAnsiNames ? "" : " (--codepage 65001 takes every name)";

// Names as the file system takes them. On Windows letter case does not tell two names apart,
// names that end in a dot or a space and device names (NUL, CON, COM1, with any extension)
// are not what they say, the ANSI code page may lack a name's characters, and the second
// byte of one of its double-byte characters may be that of a backslash.

// The key under which names (relative paths with /) are one file: on Windows their letters
// in one case, as the file system compares them; the name itself elsewhere.
std::string NameKey(std::string_view name);

// Why a folder's entry cannot be read or written by its name here, or nothing: on Windows a
// name that ends in a dot or a space (another entry would be opened), a device name, a name
// that the ANSI code page cannot write (its nearest neighbour would be opened). Nothing
// elsewhere.
std::string UnreachableName(const std::filesystem::path& name);

// Why a name cannot be an output, or nothing: on Windows a device name (NUL, which discards
// what is written, is one that users mean and is taken). Nothing elsewhere.
std::string UnwritableOutput(const std::filesystem::path& path);

// The bytes of the character at pos of a name or message: 2 for a double-byte character of
// the ANSI code page on Windows, else 1 (a UTF-8 sequence holds no ASCII byte).
std::size_t CharacterLength(std::string_view text, std::size_t pos);

// The text with each backslash that is a character of its own made a slash.
std::string Slashed(std::string text);

// What the process needs before it reads its command line: on Windows, paths made of
// strings read in the ANSI code page, standard streams that pass bytes unchanged, escape
// sequences understood by the console. Nothing elsewhere.
void PrepareProcess();

// The command line's arguments as names and texts are: as given on POSIX; on Windows read
// from the command line's UTF-16 and written in the ANSI code page, where an argument with a
// character the code page lacks is not silently made another name (as the system's own
// conversion would, "é" to "e") but named in bad, and nothing is answered.
std::optional<std::vector<std::string>> Arguments(int argc, char** argv, std::string& bad);

// The bytes of a file. Throws IoError.
std::string ReadFile(const std::filesystem::path& path);

// Writes all of data to the file descriptor; answers 0 or the errno of the failure.
int WriteAll(int fd, std::string_view data);

// Writes text in the given code page (65001: UTF-8; 0: the ANSI code page) to a standard
// stream: as characters on a Windows console, so that it shows whatever the console's code
// page; as the bytes anywhere else. Answers 0 or an errno.
int WriteText(int fd, std::string_view text, unsigned codePage);

// Windows: text written to the console as characters, and 0 or an errno; nothing when fd is
// not a console (and always elsewhere).
std::optional<int> WriteToConsole(int fd, std::u16string_view text);

// The operating system's words for an errno, as "No such file or directory".
std::string Reason(int error);

// The standard streams, as file descriptors.
inline constexpr int kStandardInput = 0, kStandardOutput = 1, kStandardError = 2;

// Whether the descriptor is a terminal (a console on Windows).
bool IsTerminal(int fd);

// The file system's record of the file that path names, following symlinks.
struct FileInfo {
  bool exists = false, folder = false, regular = false;
  unsigned long long device = 0, inode = 0, size = 0;  // device and inode 0 on Windows
  long long mtime = 0, ctime = 0;  // nanoseconds since 1970; ctime: the change of its record
  unsigned mode = 0;               // the permission bits (07777); 0 on Windows
};
FileInfo Examine(const std::filesystem::path& path);

// Whether the name itself is a symlink (on Windows: a reparse point, a junction too).
bool IsLink(const std::filesystem::path& path);

// Sets the file's modification (and access) time; answers 0 or an errno.
int SetFileTimes(const std::filesystem::path& path, long long nanoseconds);

// Why the file cannot be opened for reading as a file, in the system's words (a folder says
// "Is a directory"), or nothing when it can.
std::string WhyUnreadable(const std::filesystem::path& path);

// This program's own file.
std::filesystem::path ExecutableFile();

// A file's identity, its device and inode, whatever name leads to it.
struct FileId {
  unsigned long long device = 0, inode = 0;
  bool operator==(const FileId&) const = default;
  auto operator<=>(const FileId&) const = default;
};
// The identity of the file a path names, following symlinks; nothing when there is none.
std::optional<FileId> IdOf(const std::filesystem::path& path);

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

// A folder where the command may keep its own files for the user (the build state of an
// output folder whose parent cannot be written): $XDG_CACHE_HOME or ~/.cache on POSIX,
// %LOCALAPPDATA% on Windows, with gridloom below; empty when there is none.
std::filesystem::path CacheFolder();

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
