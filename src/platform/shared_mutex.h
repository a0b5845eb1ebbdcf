// A reader-writer lock, for std::unique_lock and std::shared_lock.
//
// On Windows it is the system's slim reader-writer lock rather than
// std::shared_mutex: MinGW's std::shared_mutex is the MinGW threads
// library's lock, which that library sets up on first use, and threads that
// first use one at the same moment can each set up a lock of their own, so
// that from then on it excludes nobody. The system's lock needs no set-up
// (all zero is a free lock) and no teardown.
#pragma once

#if !defined(_WIN32)
#include <shared_mutex>
#endif

namespace tov::platform {

#if defined(_WIN32)
class SharedMutex {
 public:
  SharedMutex() = default;
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  void lock() noexcept;
  bool try_lock() noexcept;
  void unlock() noexcept;
  void lock_shared() noexcept;
  bool try_lock_shared() noexcept;
  void unlock_shared() noexcept;

 private:
  void* state_ = nullptr;  // the system's lock, which is one pointer
};
#else
using SharedMutex = std::shared_mutex;
#endif

}  // namespace tov::platform
