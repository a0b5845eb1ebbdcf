#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#elif defined(__APPLE__)
#include <pthread.h>
#endif

namespace tov::platform {

std::size_t available_cpus() {
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
#endif
  const unsigned count = std::thread::hardware_concurrency();
  return count > 0 ? count : 1;
}

void set_current_thread_name(const char* name) {
#if defined(__linux__)
  char cut[16];
  std::snprintf(cut, sizeof(cut), "%s", name);
  pthread_setname_np(pthread_self(), cut);
#elif defined(__APPLE__)
  pthread_setname_np(name);
#else
  (void)name;
#endif
}

namespace {

// strerror_r comes in a GNU flavour (returns the text) and a POSIX flavour
// (fills the buffer); these overloads accept either.
[[maybe_unused]] const char* pick_message(int result, const char* buffer) {
  return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* pick_message(const char* result, const char*) { return result; }

}  // namespace

std::string os_error_description(int code) {
  char buffer[256] = {0};
  const char* text = pick_message(strerror_r(code, buffer, sizeof(buffer)), buffer);
  std::string out;
  if (text != nullptr && *text != '\0') {
    out = text;
    while (!out.empty() && (out.back() == ' ' || out.back() == '\n' || out.back() == '\r' ||
                            out.back() == '\t')) {
      out.pop_back();
    }
  } else {
    out = "Unknown error " + std::to_string(code);
  }
  out += " (os error " + std::to_string(code) + ")";
  return out;
}

}  // namespace tov::platform
