// Reading counts from environment variables, shared by the thread pools that
// take their sizes from the environment.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "base/result.h"

namespace tov::platform {

// The variable's value, or nullopt when it is unset.
std::optional<std::string_view> environment(const char* name);

// Parses one optional leading "+" and then decimal digits only, as a
// conventional unsigned-integer parser does. The error is one of
// texts::kCountEmpty, kCountInvalidDigit and kCountTooLarge.
base::Result<std::size_t> parse_count(std::string_view text);

}  // namespace tov::platform
