// For systems without an affinity query of their own: the standard library's
// processor count. Threads get names where the C library has the
// two-argument pthread_setname_np that Linux's C libraries and FreeBSD share
// (found by src/platform/posix/sources.cmake); elsewhere they stay unnamed.
#include <thread>

#include "platform/platform.h"

#if defined(TOV_HAVE_PTHREAD_SETNAME_NP)
#include <pthread.h>

#include <cstdio>
#endif

namespace tov::platform {

std::size_t available_cpus() {
  const unsigned count = std::thread::hardware_concurrency();
  return count > 0 ? count : 1;
}

#if defined(TOV_HAVE_PTHREAD_SETNAME_NP)
void set_current_thread_name(const char* name) {
  // Linux keeps 15 bytes and a terminator, and refuses longer names.
  char cut[16];
  std::snprintf(cut, sizeof(cut), "%s", name);
  pthread_setname_np(pthread_self(), cut);
}
#else
void set_current_thread_name(const char*) {}
#endif

}  // namespace tov::platform
