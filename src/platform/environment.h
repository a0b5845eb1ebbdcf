// Reading counts from environment variables, shared by the thread pools that
// take their sizes from the environment.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace tov::platform {

// The variable's value, or nullopt when it is unset.
std::optional<std::string_view> environment(const char* name);

// Parses one optional leading "+" and then decimal digits only, as a
// conventional unsigned-integer parser does. nullptr on success (the result
// in `value`), else the parse error: "cannot parse integer from empty
// string", "invalid digit found in string" or "number too large to fit in
// target type".
const char* parse_count(std::string_view text, std::size_t& value);

}  // namespace tov::platform
