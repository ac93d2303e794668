// Work split over the machine's cores: a job is cut into parts that run side by side, each on
// a thread of its own, and the caller waits for all of them.
#pragma once

#include <cstddef>
#include <functional>
#ifndef _WIN32
#include <condition_variable>
#include <mutex>
#endif

namespace gridloom {

// Below this many bytes a second thread costs more than it saves.
inline constexpr std::size_t kBytesPerThread = std::size_t{1} << 20;

// The machine's cores (1 when it cannot say).
unsigned Cores();

// How many parts a job of this many bytes is worth: 1, or 2 on a machine with two cores or
// more (more parts gain little where the memory bus is the limit).
std::size_t PartsFor(std::size_t bytes);

// Runs task(0) to task(count - 1): task(0) on the calling thread, the others on threads of
// their own, or on the calling thread after it where no thread can be had. Returns once all
// have returned, and then rethrows the exception of the first task that threw, if any.
void RunParts(std::size_t count, const std::function<void(std::size_t)>& task);

// Maps the pages of fresh memory that is about to be written, in one step rather than a
// fault per page, where the system can (Linux). A hint: nothing happens elsewhere.
void Prefault(void* memory, std::size_t bytes) noexcept;

// A lock for the threads of RunParts and their like: std::mutex, or on Windows (whose MinGW
// runtime of the win32 thread model has none) a slim reader/writer lock.
class Lock {
 public:
  Lock() = default;
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  void lock() noexcept;
  void unlock() noexcept;

 private:
#ifdef _WIN32
  void* srw_ = nullptr;  // an SRWLOCK, which is one pointer; zero is its initial value
#else
  std::mutex mutex_;
#endif
};

// Holds a Lock for its lifetime.
class Locked {
 public:
  explicit Locked(Lock& lock) noexcept : lock_(lock) { lock_.lock(); }
  ~Locked() { lock_.unlock(); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  Lock& lock_;
};

// What threads wait for until another raises it, once: a std::condition_variable, or on
// Windows an event of the system.
class Flag {
 public:
  Flag();  // throws std::bad_alloc where the system has no event to give
  ~Flag();
  Flag(const Flag&) = delete;
  Flag& operator=(const Flag&) = delete;
  void Raise() noexcept;
  void Wait() noexcept;  // returns at once once it is raised

 private:
#ifdef _WIN32
  void* event_;  // a HANDLE
#else
  std::mutex mutex_;
  std::condition_variable raised_;
  bool up_ = false;
#endif
};

}  // namespace gridloom
