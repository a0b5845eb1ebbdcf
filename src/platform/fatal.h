// Failures that have no orderly way back to JavaScript: a message on standard
// error, then abort. Nothing else in the engine logs.
#pragma once

#include <string_view>

namespace tov::platform {

[[noreturn]] void fatal(std::string_view message) noexcept;

}  // namespace tov::platform
