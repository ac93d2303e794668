// What the host asks of the operating system: names as the file system takes them, the
// process, standard streams and the console, the records of files, and in gridloom::host::os
// the small calls that files.cpp builds its writes and temporary files on. Each is one call of
// the system or little more, and decides nothing: os_posix.cpp, or os_win.cpp and
// os_win_text.cpp (names as UTF-16 there, never through the ANSI functions); text_io.cpp holds
// what is alike on both.
#pragma once

#include <atomic>
#include <climits>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace gridloom::host {

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

// A name given in UTF-8 (a URL's) as the file system takes it: the bytes as they are on POSIX;
// on Windows its UTF-16, or nothing when it is not UTF-8.
std::optional<std::filesystem::path> NameFromUtf8(std::string_view name);

// The text with each backslash that is a character of its own made a slash.
std::string Slashed(std::string text);

// What the process needs before it reads its command line: on Windows, paths made of
// strings read in the ANSI code page, standard streams that pass bytes unchanged, escape
// sequences understood by the console. Nothing elsewhere.
void PrepareProcess();

// The command line's arguments as names and texts are: as given on POSIX; on Windows read
// from the command line's UTF-16 and written in the ANSI code page, where an argument with a
// character the code page lacks is not silently made another name (as the system's own
// conversion would, "é" to "e") but refused: throws UsageError naming it.
std::vector<std::string> Arguments(int argc, char** argv);

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

// The file's own name, absolute, with every symlink on the way resolved (on Windows also every
// junction, and short names made long, as the system names the file it opens); empty, with
// the errno in error, when there is none.
std::filesystem::path RealPath(const std::filesystem::path& path, std::error_code& error);

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

// A folder where the command may keep its own files for the user (the build state of an
// output folder whose parent cannot be written): $XDG_CACHE_HOME or ~/.cache on POSIX,
// %LOCALAPPDATA% on Windows, with gridloom below; empty when there is none.
std::filesystem::path CacheFolder();

namespace os {

using NameUnit = std::filesystem::path::value_type;  // of a name as the system takes it

// The longest name, in NameUnits and with its end, that a temporary file is registered under
// for removal by a signal's handler (which cannot allocate).
#ifdef _WIN32
inline constexpr std::size_t kLongestTempName = 1024;
#else
inline constexpr std::size_t kLongestTempName = PATH_MAX;
#endif

// The calls below that answer an int answer 0 or an errno (on Windows the errno that says
// what the system's error says), but for those that open, which answer a descriptor or -1.

// Creates a file that must not exist yet, for reading and writing by this process alone
// (mode 0600; on Windows shared for deletion only, so that a handler can remove it while it
// is written); answers its descriptor, or -1 with the errno in error (EEXIST: the name is
// taken).
int CreateExclusive(const std::filesystem::path& name, int& error);

// Opens a file for reading (blocking until a FIFO has a writer); answers its descriptor, or
// -1 with the errno in error: EISDIR for a folder.
int OpenToRead(const std::filesystem::path& path, int& error);

// Opens what is known to be no file of the disk nor a folder (a pipe, a device) for reading,
// as it is; answers its descriptor, or -1.
int OpenStreamToRead(const std::filesystem::path& path);

// Reads at most size bytes of fd into buffer; got is 0 at the end (on Windows also where a
// pipe's writer has gone).
int Read(int fd, char* buffer, std::size_t size, std::size_t& got);

// How many bytes the file open as fd holds; 0 when unknown (a pipe).
unsigned long long SizeOf(int fd);

// Closes a descriptor of these calls.
int Close(int fd);

// Removes a file by its name, from a signal's handler too (async-signal-safe); answers
// whether it did.
bool RemoveName(const NameUnit* name);

// What a name names.
struct Entry {
  bool exists = false, folder = false, regular = false;
  bool link = false;  // the name itself is a symlink (a reparse point)
  unsigned mode = 0;  // the permission bits (07777); 0 on Windows
};
// With followLinks, of the file its symlinks lead to. On Windows always the name's own
// attributes: a link to a folder has those of a folder, and a device those of a file.
Entry Look(const std::filesystem::path& path, bool followLinks);

// The file whose content a write through path replaces: on POSIX the one its symlinks lead
// to (renaming over a link would replace the link); on Windows path itself, as ReplaceFileW
// takes a link's name. Answers 0 or ELOOP.
int WriteTarget(const std::filesystem::path& path, std::filesystem::path& target);

// What a name that exists leads to, opened for writing when a write goes into it rather than
// replacing it: a FIFO, a device, a pipe. Answers its descriptor; -1 and error 0 when it is a
// file of the disk; -1 and the errno when it is none but cannot be opened (on Windows, where
// only what opens tells which it is, -1 and 0).
int OpenStreamToWrite(const std::filesystem::path& path, const Entry& entry, int& error);

// A file's mode and times as a copy of it keeps them (known: the file was there).
struct Stamp {
  bool known = false;
  unsigned mode = 0;                   // the permission bits; 0 on Windows
  long long accessed = 0, modified = 0;  // nanoseconds since 1970
};
Stamp StampOf(const std::filesystem::path& path);

// The mode a new file gets (what open(2) would give under the umask); 0 on Windows.
unsigned NewFileMode();

// Sets an open file's permission bits (nothing on Windows, whose files have none).
int SetMode(int fd, unsigned mode);

// Sets an open file's access and modification times (nanoseconds since 1970).
int SetTimes(int fd, long long accessed, long long modified);

// Puts the file from in the place of to, whatever to was, in one step. inherit: to exists and
// its attributes and security stay with the name (Windows: ReplaceFileW; POSIX ignores it).
int RenameOver(const std::filesystem::path& from, const std::filesystem::path& to,
               bool inherit);

// The folder for temporary files: $TMPDIR (or /tmp) and a /; on Windows %TEMP% as the system
// gives it, with its separator at the end (or ., when there is none).
std::filesystem::path TempFolder();

// This process's number.
unsigned long ProcessId();

// From here on the signals that end the process (SIGINT, SIGTERM, SIGHUP, SIGQUIT: those not
// ignored; on Windows Ctrl+C, Ctrl+Break and the console's closing) run cleanup first, then
// end it as without it. cleanup must be async-signal-safe (on Windows it runs on a thread of
// its own).
void InstallCleanupHandler(void (*cleanup)());

// While a thread holds them, those signals wait (POSIX; on Windows nothing waits, as the
// handler runs on a thread of its own). Not nested.
void HoldCleanupSignals();
void ReleaseCleanupSignals();

// From cleanup: waits while busy is not 0, as long as a handler may (on POSIX a spin, as the
// handler has stopped a thread; on Windows up to a second).
void AwaitInHandler(const std::atomic<int>& busy);

}  // namespace os
}  // namespace gridloom::host
