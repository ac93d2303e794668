// Files for the host, the same on every system: what a write does with what its name names,
// the temporary files and their removal by a signal's handler, and the messages. The system
// is asked only through os.h.
#include "files.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <random>

#include "os.h"

namespace gridloom::host {
namespace {

namespace fs = std::filesystem;

// Temporary files that a signal must remove. A thread that makes one holds the signals back
// while it does (on Windows the handler runs on a thread of its own), and a handler that
// finds one being made waits for it, so none is missed.
struct TempSlot {
  std::atomic<bool> taken{false};
  std::atomic<bool> live{false};
  os::NameUnit path[os::kLongestTempName];
};
TempSlot* g_slots = nullptr;
std::size_t g_slotCount = 0;
std::atomic<int> g_making{0};
std::atomic<bool> g_dying{false};

// What the handler does before the process ends (async-signal-safe).
void RemoveTemporaryFilesAtTheEnd() {
  g_dying.store(true);
  os::AwaitInHandler(g_making);
  RemoveTemporaryFiles();
}

class SignalsHeld {
 public:
  SignalsHeld() { os::HoldCleanupSignals(); }
  ~SignalsHeld() { os::ReleaseCleanupSignals(); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;
};

std::uint64_t Seed() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  std::uint64_t seed = (std::uint64_t{os::ProcessId()} << 32) ^ static_cast<std::uint64_t>(now);
  try {
    std::random_device device;
    seed ^= (std::uint64_t{device()} << 32) | device();
  } catch (const std::exception&) {
    // the process and the time alone
  }
  return seed;
}

// The tail of a temporary file's name: 12 hex digits, another each call, and hard to foresee
// for another user of a shared folder (who could take the name first).
std::string UniqueTail() {
  static const std::uint64_t seed = Seed();
  static std::atomic<unsigned> serial{0};
  std::uint64_t x = seed + serial.fetch_add(1) * 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  x ^= x >> 31;
  char tail[16];
  std::snprintf(tail, sizeof tail, "%012llx",
                static_cast<unsigned long long>(x & 0xFFFF'FFFF'FFFFULL));
  return tail;
}

// Creates a new file in folder, named prefix and a unique tail, registered for removal on a
// signal; answers the descriptor (-1 with the errno in error), the name and the slot (-1 when
// nothing is registered).
int MakeTemp(const fs::path& folder, const char* prefix, fs::path& name, int& slot,
             int& error) {
  const SignalsHeld held;
  slot = -1;
  g_making.fetch_add(1);
  int fd = -1;
  error = EINTR;  // when the process is ending
  for (int attempt = 0; attempt < 100 && !g_dying.load(); ++attempt) {
    name = folder / (prefix + UniqueTail());
    fd = os::CreateExclusive(name, error);
    if (fd >= 0 || error != EEXIST) break;
  }
  const std::size_t length = name.native().size();
  if (fd >= 0 && length < os::kLongestTempName) {
    for (std::size_t i = 0; i < g_slotCount; ++i) {
      bool expected = false;
      if (g_slots[i].taken.compare_exchange_strong(expected, true)) {
        std::copy_n(name.c_str(), length + 1, g_slots[i].path);
        g_slots[i].live.store(true);
        slot = static_cast<int>(i);
        break;
      }
    }
  }
  g_making.fetch_sub(1);
  return fd;
}

void ReleaseTemp(int slot) {
  if (slot < 0) return;
  g_slots[slot].live.store(false);
  g_slots[slot].taken.store(false);
}

// A descriptor that closes itself.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) os::Close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

// Hands what fd gives, to its end, to sink in pieces; answers 0, the errno of a read, or
// what sink answers when that is not 0.
int Drain(int fd, const std::function<int(std::string_view)>& sink) {
  char buffer[65536];
  for (;;) {
    std::size_t got = 0;
    if (const int error = os::Read(fd, buffer, sizeof buffer, got)) return error;
    if (got == 0) return 0;
    if (const int error = sink(std::string_view(buffer, got))) return error;
  }
}

[[noreturn]] void FailToWrite(const fs::path& path, const std::string& reason) {
  throw IoError("cannot write " + (path.empty() ? std::string("''") : PathText(path)) + ": " +
                reason);
}

// Writes into what target names when a write goes into it (a FIFO, a device, a pipe), as a
// shell's redirection does; answers false when it is a file, to be replaced.
bool WroteInto(const fs::path& path, const fs::path& target, const os::Entry& old,
               const std::function<int(int)>& fill) {
  int error = 0;
  const int fd = os::OpenStreamToWrite(target, old, error);
  if (fd < 0 && error == 0) return false;
  if (fd < 0) FailToWrite(path, Reason(error));
  error = fill(fd);
  if (const int closed = os::Close(fd); closed != 0 && error == 0) error = closed;
  if (error != 0) FailToWrite(path, Reason(error));
  return true;
}

// Writes a temporary file in target's folder and renames it over target.
void Replace(const fs::path& path, const fs::path& target, const os::Entry& old,
             Existing existing, const fs::path* keep, const std::function<int(int)>& fill) {
  // A short temporary name, so that every name the file system takes works.
  fs::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  fs::path temp;
  int slot = -1, error = 0;
  const int fd = MakeTemp(folder, ".gridloom-", temp, slot, error);
  if (fd < 0) {
    if (error == EACCES || error == EROFS || error == EPERM) {
      FailToWrite(path, "the folder " + PathText(folder) + " is not writable (" + Reason(error) +
                            ")");
    }
    FailToWrite(path, Reason(error));
  }
  const os::Stamp source = keep != nullptr ? os::StampOf(*keep) : os::Stamp{};
  const unsigned mode = source.known                ? source.mode
                        : old.exists && old.regular ? old.mode
                                                    : os::NewFileMode();
  error = os::SetMode(fd, mode);
  if (error == 0) error = fill(fd);
  if (error == 0 && source.known) error = os::SetTimes(fd, source.accessed, source.modified);
  if (const int closed = os::Close(fd); closed != 0 && error == 0) error = closed;
  // A link that kReplace replaces is not one whose attributes the new file takes.
  const bool inherit = old.exists && !(old.link && existing == Existing::kReplace);
  if (error == 0) error = os::RenameOver(temp, target, inherit);
  if (error != 0) os::RemoveName(temp.c_str());
  ReleaseTemp(slot);
  if (error != 0) FailToWrite(path, Reason(error));
}

}  // namespace

std::string ReadFile(const fs::path& path) {
  const auto fail = [&path](int error) {
    throw IoError("cannot read " + PathText(path) + ": " + Reason(error));
  };
  int error = 0;
  const Descriptor file(os::OpenToRead(path, error));
  if (file.Get() < 0) fail(error);
  std::string data;
  const unsigned long long size = os::SizeOf(file.Get());
  if (size > 0 && size < data.max_size()) data.reserve(static_cast<std::size_t>(size));
  error = Drain(file.Get(), [&data](std::string_view piece) {
    data.append(piece);
    return 0;
  });
  if (error != 0) fail(error);
  return data;
}

std::size_t RemoveTemporaryFiles() {
  std::size_t removed = 0;
  for (std::size_t i = 0; i < g_slotCount; ++i) {
    if (g_slots[i].live.load() && os::RemoveName(g_slots[i].path)) ++removed;
  }
  return removed;
}

void InstallSignalCleanup(std::size_t writers) {
  if (g_slots == nullptr) {
    g_slotCount = writers;
    g_slots = new TempSlot[writers];  // lives as long as the process
  }
  os::InstallCleanupHandler(RemoveTemporaryFilesAtTheEnd);
}

void WriteFileAtomic(const fs::path& path, std::string_view data, const fs::path* keep,
                     Existing existing) {
  WriteFileAtomic(path, [data](int fd) { return WriteAll(fd, data); }, keep, existing);
}

void WriteFileAtomic(const fs::path& path, const std::function<int(int)>& fill,
                     const fs::path* keep, Existing existing) {
  if (path.empty()) FailToWrite(path, "the name is empty");
  const bool through = existing == Existing::kWriteThrough;
  fs::path target = path;
  if (through) {
    if (const int error = os::WriteTarget(path, target)) FailToWrite(path, Reason(error));
  }
  const os::Entry old = os::Look(target, through);
  if (old.exists && old.folder) FailToWrite(path, Reason(EISDIR));
  const auto last = path.native().back();
  if (last == '/' || last == fs::path::preferred_separator) {
    FailToWrite(path, "a name ending in / names a folder, not a file");
  }
  if (old.exists && through && WroteInto(path, target, old, fill)) return;
  Replace(path, target, old, existing, keep, fill);
}

TempCopy::TempCopy(int fd, const std::string& what, const fs::path& beside) {
  const fs::path temp = os::TempFolder();
  std::error_code error;
  // Only a Windows path has a drive to compare.
  const bool elsewhere =
      !beside.empty() &&
      fs::absolute(beside, error).root_name() != fs::absolute(temp, error).root_name();
  fs::path name;
  int why = 0;
  int out = -1;
  if (elsewhere) out = MakeTemp(beside, ".gridloom-", name, slot_, why);
  if (out < 0) out = MakeTemp(temp, "gridloom-", name, slot_, why);
  const fs::path whole = fs::absolute(name, error);
  path_ = PathText(error ? name : whole);
  if (out < 0) throw IoError("cannot copy " + what + " to " + path_ + ": " + Reason(why));
  int writeError = 0;
  const int readError =
      Drain(fd, [&](std::string_view piece) { return writeError = WriteAll(out, piece); });
  os::Close(out);
  if (readError != 0) {
    os::RemoveName(name.c_str());
    ReleaseTemp(slot_);
    if (writeError != 0) {
      throw IoError("cannot copy " + what + " to " + path_ + ": " + Reason(writeError));
    }
    throw IoError("cannot read " + what + ": " + Reason(readError));
  }
}

TempCopy::~TempCopy() {
  os::RemoveName(fs::path(path_).c_str());
  ReleaseTemp(slot_);
}

std::unique_ptr<TempCopy> CopyIfNotRegular(const std::string& path, const std::string& shown,
                                           const fs::path& beside) {
  if (path == "-") return std::make_unique<TempCopy>(kStandardInput, "standard input", beside);
  const FileInfo file = Examine(path);
  if (!file.exists || file.regular || file.folder) return nullptr;
  const Descriptor input(os::OpenStreamToRead(path));
  if (input.Get() < 0) return nullptr;  // the plug-in finds it unreadable, and says why
  return std::make_unique<TempCopy>(input.Get(), shown, beside);
}

}  // namespace gridloom::host
