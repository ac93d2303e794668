#include "base/parallel.h"

#include <exception>
#include <new>
#include <memory>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <system_error>
#include <thread>
#endif

namespace gridloom {
namespace {

struct Part {
  const std::function<void(std::size_t)>* task;
  std::size_t index;
  std::exception_ptr error;

  void Run() noexcept {
    try {
      (*task)(index);
    } catch (...) {
      error = std::current_exception();
    }
  }
};


#ifdef _WIN32
// The thread of a part: a handle, or none when the part ran on the calling thread.
class Worker {
 public:
  explicit Worker(Part& part)
      : handle_(CreateThread(nullptr, 0, &Worker::Main, &part, 0, nullptr)) {
    if (handle_ == nullptr) part.Run();
  }
  ~Worker() {
    if (handle_ == nullptr) return;
    WaitForSingleObject(handle_, INFINITE);
    CloseHandle(handle_);
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

 private:
  static DWORD WINAPI Main(void* part) {
    static_cast<Part*>(part)->Run();
    return 0;
  }
  HANDLE handle_;
};
#else
class Worker {
 public:
  explicit Worker(Part& part) {
    try {
      thread_ = std::thread(&Part::Run, &part);
    } catch (const std::system_error&) {
      part.Run();
    }
  }
  ~Worker() {
    if (thread_.joinable()) thread_.join();
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

 private:
  std::thread thread_;
};
#endif

}  // namespace

unsigned Cores() {
#ifdef _WIN32
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1;
#else
  const unsigned cores = std::thread::hardware_concurrency();  // 0 when unknown
  return cores > 0 ? cores : 1;
#endif
}

#ifdef _WIN32
Flag::Flag() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (event_ == nullptr) throw std::bad_alloc();
}
Flag::~Flag() { CloseHandle(event_); }
void Flag::Raise() noexcept { SetEvent(event_); }
void Flag::Wait() noexcept { WaitForSingleObject(event_, INFINITE); }
#else
Flag::Flag() = default;
Flag::~Flag() = default;
void Flag::Raise() noexcept {
  {
    const std::lock_guard<std::mutex> guard(mutex_);  // NOLINT: a failure here is std::terminate
    up_ = true;
  }
  raised_.notify_all();
}
void Flag::Wait() noexcept {
  std::unique_lock<std::mutex> guard(mutex_);  // NOLINT: as above
  raised_.wait(guard, [this] { return up_; });
}
#endif

#ifdef _WIN32
static_assert(sizeof(void*) == sizeof(SRWLOCK));
void Lock::lock() noexcept { AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&srw_)); }
void Lock::unlock() noexcept { ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&srw_)); }
#else
void Lock::lock() noexcept { mutex_.lock(); }  // NOLINT: a failure here is std::terminate
void Lock::unlock() noexcept { mutex_.unlock(); }
#endif

std::size_t PartsFor(std::size_t bytes) {
  return bytes >= 2 * kBytesPerThread && Cores() >= 2 ? 2 : 1;
}

void Prefault([[maybe_unused]] void* memory, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(MADV_POPULATE_WRITE)
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(memory);
  const std::uintptr_t first = (begin + page - 1) / page * page, last = (begin + bytes) / page * page;
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#endif
}

void RunParts(std::size_t count, const std::function<void(std::size_t)>& task) {
  if (count == 0) return;
  std::vector<Part> parts(count);
  for (std::size_t i = 0; i < count; ++i) parts[i] = {&task, i, nullptr};
  {
    std::vector<std::unique_ptr<Worker>> workers;
    workers.reserve(count - 1);  // so that no allocation fails once threads run
    for (std::size_t i = 1; i < count; ++i) workers.push_back(std::make_unique<Worker>(parts[i]));
    parts[0].Run();
  }  // the workers are joined here
  for (const Part& part : parts) {
    if (part.error) std::rethrow_exception(part.error);
  }
}

}  // namespace gridloom
