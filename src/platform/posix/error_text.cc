#include <cstring>
#include <string>

#include "platform/platform.h"

namespace tov::platform {

namespace {

// strerror_r comes in a GNU flavour (returns the text) and a POSIX flavour
// (fills the buffer); these overloads accept either.
[[maybe_unused]] const char* pick_message(int result, const char* buffer) {
  return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* pick_message(const char* result, const char*) {
  return result;
}

}  // namespace

std::string os_error_description(std::int32_t code) {
  char buffer[256] = {0};
  const char* text = pick_message(strerror_r(code, buffer, sizeof(buffer)), buffer);
  std::string out;
  if (text != nullptr && *text != '\0') {
    out = text;
    while (!out.empty() &&
           (out.back() == ' ' || out.back() == '\n' || out.back() == '\r' || out.back() == '\t')) {
      out.pop_back();
    }
  } else {
    out = "Unknown error " + std::to_string(code);
  }
  out += " (os error " + std::to_string(code) + ")";
  return out;
}

}  // namespace tov::platform
