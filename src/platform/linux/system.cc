#include <pthread.h>
#include <sched.h>

#include <cstdio>
#include <thread>

#include "platform/platform.h"

namespace tov::platform {

std::size_t available_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  const unsigned count = std::thread::hardware_concurrency();
  return count > 0 ? count : 1;
}

void set_current_thread_name(const char* name) {
  // The kernel keeps 15 bytes and a terminator, and refuses longer names.
  char cut[16];
  std::snprintf(cut, sizeof(cut), "%s", name);
  pthread_setname_np(pthread_self(), cut);
}

}  // namespace tov::platform
