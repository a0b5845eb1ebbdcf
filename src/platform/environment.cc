#include "platform/environment.h"

#include <cstdlib>
#include <limits>

namespace tov::platform {

std::optional<std::string_view> environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string_view(value);
}

const char* parse_count(std::string_view text, std::size_t& value) {
  if (text.empty()) return "cannot parse integer from empty string";
  if (text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return "invalid digit found in string";
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  std::size_t result = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return "invalid digit found in string";
    const auto digit = static_cast<std::size_t>(c - '0');
    if (result > (kMax - digit) / 10) return "number too large to fit in target type";
    result = result * 10 + digit;
  }
  value = result;
  return nullptr;
}

}  // namespace tov::platform
