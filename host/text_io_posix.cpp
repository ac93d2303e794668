// Files on POSIX systems: files through the system calls, temporary files removed on the
// signals that end a process.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "text_io.h"

namespace gridloom::host {
namespace {

// The mode a new file gets: what open(2) would give, read once before any thread starts.
mode_t CreateMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}
const mode_t kCreateMode = CreateMode();

}  // namespace

std::string ReadFile(const std::filesystem::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw IoError("cannot read " + path.string() + ": " + Reason(errno));
  std::string data;
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    close(fd);
    throw IoError("cannot read " + path.string() + ": " + Reason(EISDIR));
  }
  if (info.st_size > 0) data.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      close(fd);
      throw IoError("cannot read " + path.string() + ": " + Reason(error));
    }
    data.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return data;
}

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

bool IsTerminal(int fd) { return isatty(fd) == 1; }

void PrepareProcess() {}

std::optional<std::vector<std::string>> Arguments(int argc, char** argv, std::string&) {
  return std::vector<std::string>(argv, argv + argc);
}

std::string PathText(const std::filesystem::path& path) { return path.string(); }

std::string NameKey(std::string_view name) { return std::string(name); }

std::string UnreachableName(const std::filesystem::path&) { return {}; }

std::string UnwritableOutput(const std::filesystem::path&) { return {}; }

std::size_t CharacterLength(std::string_view, std::size_t) { return 1; }

int WriteText(int fd, std::string_view text, unsigned) { return WriteAll(fd, text); }

std::optional<int> WriteToConsole(int, std::u16string_view) { return std::nullopt; }

FileInfo Examine(const std::filesystem::path& path) {
  FileInfo file;
  struct stat info {};
  if (path.empty() || stat(path.c_str(), &info) != 0) return file;
  const auto nanoseconds = [](const struct timespec& time) {
    return static_cast<long long>(time.tv_sec) * 1'000'000'000LL + time.tv_nsec;
  };
  file.exists = true;
  file.folder = S_ISDIR(info.st_mode);
  file.regular = S_ISREG(info.st_mode);
  file.device = static_cast<unsigned long long>(info.st_dev);
  file.inode = static_cast<unsigned long long>(info.st_ino);
  file.size = static_cast<unsigned long long>(info.st_size);
  file.mtime = nanoseconds(info.st_mtim);
  file.ctime = nanoseconds(info.st_ctim);
  file.mode = static_cast<unsigned>(info.st_mode & 07777);
  return file;
}

bool IsLink(const std::filesystem::path& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

int SetFileTimes(const std::filesystem::path& path, long long nanoseconds) {
  const struct timespec time = {static_cast<time_t>(nanoseconds / 1'000'000'000),
                                static_cast<long>(nanoseconds % 1'000'000'000)};
  const struct timespec times[2] = {time, time};
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

std::optional<FileId> IdOf(const std::filesystem::path& path) {
  const FileInfo file = Examine(path);
  if (!file.exists) return std::nullopt;
  return FileId{file.device, file.inode};
}

namespace {

// Temporary files that a signal must remove. A thread that makes one blocks the signals
// while it does, and a handler that finds one being made waits for it, so none is missed.
struct TempSlot {
  std::atomic<bool> taken{false};
  std::atomic<bool> live{false};
  char path[PATH_MAX];
};
TempSlot* g_slots = nullptr;
std::size_t g_slotCount = 0;
std::atomic<int> g_making{0};
std::atomic<bool> g_dying{false};
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void RemoveTempsAndDie(int signal) {
  g_dying.store(true);
  // A file being made on another thread is registered within microseconds; the bound is a
  // guard against a thread stopped there by a debugger.
  for (long spins = 0; g_making.load() > 0 && spins < 100000000; ++spins) {
  }
  RemoveTemporaryFiles();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : kCleanupSignals) sigaddset(&set, signal);
    pthread_sigmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t old_;
};

// mkostemp on the template name, the file registered for removal on a signal; answers the
// descriptor (or -1 with errno set) and the slot (or -1 when nothing is registered).
int MakeTemp(std::string& name, int& slot) {
  const SignalsBlocked blocked;
  slot = -1;
  g_making.fetch_add(1);
  if (g_dying.load()) {
    g_making.fetch_sub(1);
    errno = EINTR;
    return -1;
  }
  const int fd = mkostemp(name.data(), O_CLOEXEC);
  const int error = errno;
  if (fd >= 0 && name.size() < PATH_MAX) {
    for (std::size_t i = 0; i < g_slotCount; ++i) {
      bool expected = false;
      if (g_slots[i].taken.compare_exchange_strong(expected, true)) {
        std::memcpy(g_slots[i].path, name.c_str(), name.size() + 1);
        g_slots[i].live.store(true);
        slot = static_cast<int>(i);
        break;
      }
    }
  }
  g_making.fetch_sub(1);
  errno = error;
  return fd;
}

void ReleaseTemp(int slot) {
  if (slot < 0) return;
  g_slots[slot].live.store(false);
  g_slots[slot].taken.store(false);
}

// The file a path leads to through symlinks (the path itself when it is none).
std::filesystem::path FollowLinks(const std::filesystem::path& path) {
  std::filesystem::path target = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return target;
    std::error_code error;
    const std::filesystem::path link = std::filesystem::read_symlink(target, error);
    if (error) return target;
    target = link.is_absolute() ? link : target.parent_path() / link;
  }
  throw IoError("cannot write " + path.string() + ": " + Reason(ELOOP));
}

}  // namespace

std::size_t RemoveTemporaryFiles() {
  std::size_t removed = 0;
  for (std::size_t i = 0; i < g_slotCount; ++i) {
    if (g_slots[i].live.load() && unlink(g_slots[i].path) == 0) ++removed;
  }
  return removed;
}

void InstallSignalCleanup(std::size_t writers) {
  if (g_slots == nullptr) {
    g_slotCount = writers;
    g_slots = new TempSlot[writers];  // lives as long as the process
  }
  for (const int signal : kCleanupSignals) {
    struct sigaction action {};
    if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) continue;
    action = {};
    action.sa_handler = RemoveTempsAndDie;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
}

void WriteFileAtomic(const std::filesystem::path& path, std::string_view data,
                     const std::filesystem::path* keep, Existing existing) {
  WriteFileAtomic(path, [data](int fd) { return WriteAll(fd, data); }, keep, existing);
}

void WriteFileAtomic(const std::filesystem::path& path, const std::function<int(int)>& fill,
                     const std::filesystem::path* keep, Existing existing) {
  const auto fail = [&path](const std::string& reason) {
    throw IoError("cannot write " + (path.empty() ? std::string("''") : path.string()) + ": " +
                  reason);
  };
  if (path.empty()) fail("the name is empty");
  const bool through = existing == Existing::kWriteThrough;
  const std::filesystem::path target = through ? FollowLinks(path) : path;
  struct stat old {};
  const bool exists = (through ? stat(target.c_str(), &old) : lstat(target.c_str(), &old)) == 0;
  if (exists && S_ISDIR(old.st_mode)) fail(Reason(EISDIR));
  if (path.string().back() == '/') fail("a name ending in / names a folder, not a file");
  if (exists && !S_ISREG(old.st_mode) && through) {
    // A FIFO, a device: written into, as a shell's redirection does.
    const int fd = open(target.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) fail(Reason(errno));
    int error = fill(fd);
    if (close(fd) != 0 && error == 0) error = errno;
    if (error != 0) fail(Reason(error));
    return;
  }

  // A short temporary name, so that every name the file system takes works.
  std::filesystem::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  std::string temp = (folder / ".gridloom-XXXXXX").string();
  int slot = -1;
  const int fd = MakeTemp(temp, slot);
  if (fd < 0) {
    const int error = errno;
    if (error == EACCES || error == EROFS || error == EPERM) {
      fail("the folder " + folder.string() + " is not writable (" + Reason(error) + ")");
    }
    fail(Reason(error));
  }
  struct stat source {};
  if (keep != nullptr && stat(keep->c_str(), &source) != 0) source = {};
  const mode_t mode = keep != nullptr && source.st_mode != 0 ? (source.st_mode & 07777)
                      : exists && S_ISREG(old.st_mode)      ? (old.st_mode & 07777)
                                                             : kCreateMode;
  int error = fchmod(fd, mode) == 0 ? 0 : errno;
  if (error == 0) error = fill(fd);
  if (error == 0 && keep != nullptr && source.st_mode != 0) {
    const struct timespec times[2] = {source.st_atim, source.st_mtim};
    if (futimens(fd, times) != 0) error = errno;
  }
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temp.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) unlink(temp.c_str());
  ReleaseTemp(slot);
  if (error != 0) fail(Reason(error));
}

std::unique_ptr<TempCopy> CopyIfNotRegular(const std::string& path, const std::string& shown,
                                           const std::filesystem::path&) {
  if (path == "-") return std::make_unique<TempCopy>(STDIN_FILENO, "standard input");
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode) || S_ISDIR(info.st_mode)) {
    return nullptr;
  }
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;  // the plug-in finds it unreadable, and the message says why
  std::unique_ptr<TempCopy> copy;
  try {
    copy = std::make_unique<TempCopy>(fd, shown);
  } catch (...) {
    close(fd);
    throw;
  }
  close(fd);
  return copy;
}

TempCopy::TempCopy(int fd, const std::string& what, const std::filesystem::path&) {
  const char* folder = std::getenv("TMPDIR");
  path_ = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/gridloom-XXXXXX";
  const int out = MakeTemp(path_, slot_);
  if (out < 0) {
    const int error = errno;
    throw IoError("cannot copy " + what + " to " + path_ + ": " + Reason(error));
  }
  char buffer[65536];
  int error = 0;
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    if ((error = WriteAll(out, std::string_view(buffer, static_cast<std::size_t>(n)))) != 0) {
      close(out);
      unlink(path_.c_str());
      ReleaseTemp(slot_);
      throw IoError("cannot copy " + what + " to " + path_ + ": " + Reason(error));
    }
  }
  close(out);
  if (error != 0) {
    unlink(path_.c_str());
    ReleaseTemp(slot_);
    throw IoError("cannot read " + what + ": " + Reason(error));
  }
}

TempCopy::~TempCopy() {
  unlink(path_.c_str());
  ReleaseTemp(slot_);
}

}  // namespace gridloom::host
