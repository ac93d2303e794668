// GoogleTest for MinGW-w64's win32 thread model, which has no std::mutex or
// std::condition_variable: the one class that needs them, Notification (used only by
// GoogleTest's own threads, which our tests never start), waits on an atomic flag instead.
#pragma once

#include <atomic>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing::internal {

class Notification {
 public:
  Notification() = default;
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;
  void Notify() { notified_.store(true, std::memory_order_release); }
  void WaitForNotification() {
    while (!notified_.load(std::memory_order_acquire)) {
    }
  }

 private:
  std::atomic<bool> notified_{false};
};

}  // namespace testing::internal
