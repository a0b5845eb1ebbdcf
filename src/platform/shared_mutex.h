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

class SharedMutex {
 public:
  SharedMutex() = default;
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

#if defined(_WIN32)
  void lock() noexcept;
  bool try_lock() noexcept;
  void unlock() noexcept;
  void lock_shared() noexcept;
  bool try_lock_shared() noexcept;
  void unlock_shared() noexcept;

 private:
  void* state_ = nullptr;  // the system's lock, which is one pointer
#else
  void lock() {
    mutex_.lock();
  }
  bool try_lock() {
    return mutex_.try_lock();
  }
  void unlock() {
    mutex_.unlock();
  }
  void lock_shared() {
    mutex_.lock_shared();
  }
  bool try_lock_shared() {
    return mutex_.try_lock_shared();
  }
  void unlock_shared() {
    mutex_.unlock_shared();
  }

 private:
  std::shared_mutex mutex_;
#endif
};

}  // namespace tov::platform
