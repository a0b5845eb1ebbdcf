// For systems without an affinity query or thread names of their own: the
// standard library's processor count, and unnamed threads.
#include <thread>

#include "platform/platform.h"

namespace tov::platform {

std::size_t available_cpus() {
  const unsigned count = std::thread::hardware_concurrency();
  return count > 0 ? count : 1;
}

void set_current_thread_name(const char*) {}

}  // namespace tov::platform
