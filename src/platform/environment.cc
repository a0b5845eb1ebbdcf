#include "platform/environment.h"

#include <cstdlib>
#include <limits>

namespace tov::platform {

namespace texts = base::texts;

std::optional<std::string_view> environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string_view(value);
}

base::Result<std::size_t> parse_count(std::string_view text) {
  if (text.empty()) return texts::kCountEmpty;
  if (text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return texts::kCountInvalidDigit;
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  std::size_t result = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return texts::kCountInvalidDigit;
    const auto digit = static_cast<std::size_t>(c - '0');
    if (result > (kMax - digit) / 10) return texts::kCountTooLarge;
    result = result * 10 + digit;
  }
  return result;
}

}  // namespace tov::platform
