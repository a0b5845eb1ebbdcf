#include "platform/shared_mutex.h"

#include <windows.h>

namespace tov::platform {

namespace {

static_assert(sizeof(SRWLOCK) == sizeof(void*) && alignof(SRWLOCK) <= alignof(void*));

PSRWLOCK srw(void*& state) noexcept {
  return reinterpret_cast<PSRWLOCK>(&state);
}

}  // namespace

void SharedMutex::lock() noexcept {
  ::AcquireSRWLockExclusive(srw(state_));
}
bool SharedMutex::try_lock() noexcept {
  return ::TryAcquireSRWLockExclusive(srw(state_)) != 0;
}
void SharedMutex::unlock() noexcept {
  ::ReleaseSRWLockExclusive(srw(state_));
}
void SharedMutex::lock_shared() noexcept {
  ::AcquireSRWLockShared(srw(state_));
}
bool SharedMutex::try_lock_shared() noexcept {
  return ::TryAcquireSRWLockShared(srw(state_)) != 0;
}
void SharedMutex::unlock_shared() noexcept {
  ::ReleaseSRWLockShared(srw(state_));
}

}  // namespace tov::platform
