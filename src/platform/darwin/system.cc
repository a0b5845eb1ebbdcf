#include <pthread.h>

#include <thread>

#include "platform/platform.h"

namespace tov::platform {

std::size_t available_cpus() {
  // macOS has no CPU affinity to honour.
  const unsigned count = std::thread::hardware_concurrency();
  return count > 0 ? count : 1;
}

void set_current_thread_name(const char* name) {
  // Names only the calling thread, and cuts at the system's limit itself.
  pthread_setname_np(name);
}

}  // namespace tov::platform
