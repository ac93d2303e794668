// The operating system on POSIX systems: files through the system calls, names as their
// bytes, the signals that end a process.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <system_error>

#include "os.h"

namespace gridloom::host {
namespace {

// The mode a new file gets: what open(2) would give, read once before any thread starts.
mode_t CreateMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}
const mode_t kCreateMode = CreateMode();

long long Nanoseconds(const struct timespec& time) {
  return static_cast<long long>(time.tv_sec) * 1'000'000'000LL + time.tv_nsec;
}

struct timespec Timespec(long long nanoseconds) {
  return {static_cast<time_t>(nanoseconds / 1'000'000'000),
          static_cast<long>(nanoseconds % 1'000'000'000)};
}

}  // namespace

void PrepareProcess() {}

std::vector<std::string> Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

std::string PathText(const std::filesystem::path& path) { return path.string(); }

std::string NameKey(std::string_view name) { return std::string(name); }

std::string UnreachableName(const std::filesystem::path&) { return {}; }

std::string UnwritableOutput(const std::filesystem::path&) { return {}; }

std::size_t CharacterLength(std::string_view, std::size_t) { return 1; }

int WriteAll(int fd, std::string_view data) {
  for (std::size_t done = 0; done < data.size();) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno != EINTR) return errno;
    } else {
      done += static_cast<std::size_t>(n);
    }
  }
  return 0;
}

int WriteText(int fd, std::string_view text, unsigned) { return WriteAll(fd, text); }

std::optional<int> WriteToConsole(int, std::u16string_view) { return std::nullopt; }

bool IsTerminal(int fd) { return isatty(fd) == 1; }

FileInfo Examine(const std::filesystem::path& path) {
  FileInfo file;
  struct stat info {};
  if (path.empty() || stat(path.c_str(), &info) != 0) return file;
  file.exists = true;
  file.folder = S_ISDIR(info.st_mode);
  file.regular = S_ISREG(info.st_mode);
  file.device = static_cast<unsigned long long>(info.st_dev);
  file.inode = static_cast<unsigned long long>(info.st_ino);
  file.size = static_cast<unsigned long long>(info.st_size);
  file.mtime = Nanoseconds(info.st_mtim);
  file.ctime = Nanoseconds(info.st_ctim);
  file.mode = static_cast<unsigned>(info.st_mode & 07777);
  return file;
}

bool IsLink(const std::filesystem::path& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

int SetFileTimes(const std::filesystem::path& path, long long nanoseconds) {
  const struct timespec times[2] = {Timespec(nanoseconds), Timespec(nanoseconds)};
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0 ? 0 : errno;
}

std::filesystem::path CacheFolder() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache != nullptr && *cache == '/') return std::filesystem::path(cache) / "gridloom";
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home == '/') return std::filesystem::path(home) / ".cache/gridloom";
  return {};
}

std::string WhyUnreadable(const std::filesystem::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Reason(errno);
  struct stat info {};
  const bool folder = fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
  close(fd);
  return folder ? Reason(EISDIR) : std::string();
}

std::filesystem::path ExecutableFile() {
  std::error_code error;
  return std::filesystem::read_symlink("/proc/self/exe", error);
}

std::optional<std::filesystem::path> NameFromUtf8(std::string_view name) {
  return std::filesystem::path(name);
}

std::filesystem::path RealPath(const std::filesystem::path& path, std::error_code& error) {
  return std::filesystem::canonical(path, error);
}

std::optional<FileId> IdOf(const std::filesystem::path& path) {
  const FileInfo file = Examine(path);
  if (!file.exists) return std::nullopt;
  return FileId{file.device, file.inode};
}

namespace os {

int CreateExclusive(const std::filesystem::path& name, int& error) {
  const int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  error = fd < 0 ? errno : 0;
  return fd;
}

int OpenToRead(const std::filesystem::path& path, int& error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    close(fd);
    error = EISDIR;
    return -1;
  }
  error = 0;
  return fd;
}

int OpenStreamToRead(const std::filesystem::path& path) {
  return open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

int Read(int fd, char* buffer, std::size_t size, std::size_t& got) {
  got = 0;
  for (;;) {
    const ssize_t n = read(fd, buffer, size);
    if (n >= 0) {
      got = static_cast<std::size_t>(n);
      return 0;
    }
    if (errno != EINTR) return errno;
  }
}

unsigned long long SizeOf(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 && info.st_size > 0 ? static_cast<unsigned long long>(info.st_size)
                                                   : 0;
}

int Close(int fd) { return close(fd) == 0 ? 0 : errno; }

bool RemoveName(const NameUnit* name) { return unlink(name) == 0; }

Entry Look(const std::filesystem::path& path, bool followLinks) {
  Entry entry;
  struct stat info {};
  if ((followLinks ? stat(path.c_str(), &info) : lstat(path.c_str(), &info)) != 0) return entry;
  entry.exists = true;
  entry.folder = S_ISDIR(info.st_mode);
  entry.regular = S_ISREG(info.st_mode);
  entry.link = S_ISLNK(info.st_mode);
  entry.mode = static_cast<unsigned>(info.st_mode & 07777);
  return entry;
}

int WriteTarget(const std::filesystem::path& path, std::filesystem::path& target) {
  target = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return 0;
    std::error_code error;
    const std::filesystem::path link = std::filesystem::read_symlink(target, error);
    if (error) return 0;
    target = link.is_absolute() ? link : target.parent_path() / link;
  }
  return ELOOP;
}

int OpenStreamToWrite(const std::filesystem::path& path, const Entry& entry, int& error) {
  error = 0;
  if (entry.regular) return -1;
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) error = errno;
  return fd;
}

Stamp StampOf(const std::filesystem::path& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return {};
  return {true, static_cast<unsigned>(info.st_mode & 07777), Nanoseconds(info.st_atim),
          Nanoseconds(info.st_mtim)};
}

unsigned NewFileMode() { return kCreateMode; }

int SetMode(int fd, unsigned mode) {
  return fchmod(fd, static_cast<mode_t>(mode)) == 0 ? 0 : errno;
}

int SetTimes(int fd, long long accessed, long long modified) {
  const struct timespec times[2] = {Timespec(accessed), Timespec(modified)};
  return futimens(fd, times) == 0 ? 0 : errno;
}

int RenameOver(const std::filesystem::path& from, const std::filesystem::path& to, bool) {
  return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

std::filesystem::path TempFolder() {
  const char* folder = std::getenv("TMPDIR");
  return std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/";
}

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

namespace {

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
void (*g_cleanup)() = nullptr;
thread_local sigset_t t_heldFrom;  // the thread's mask before HoldCleanupSignals

extern "C" void CleanUpAndDie(int signal) {
  g_cleanup();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

}  // namespace

void InstallCleanupHandler(void (*cleanup)()) {
  g_cleanup = cleanup;
  for (const int signal : kCleanupSignals) {
    struct sigaction action {};
    if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) continue;
    action = {};
    action.sa_handler = CleanUpAndDie;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
}

void HoldCleanupSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : kCleanupSignals) sigaddset(&set, signal);
  pthread_sigmask(SIG_BLOCK, &set, &t_heldFrom);
}

void ReleaseCleanupSignals() { pthread_sigmask(SIG_SETMASK, &t_heldFrom, nullptr); }

void AwaitInHandler(const std::atomic<int>& busy) {
  // A file being made on another thread is registered within microseconds; the bound is a
  // guard against a thread stopped there by a debugger.
  for (long spins = 0; busy.load() > 0 && spins < 100000000; ++spins) {
  }
}

}  // namespace os
}  // namespace gridloom::host
