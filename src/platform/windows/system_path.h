// The form of a UTF-8 path that the wide Win32 file calls take.
#pragma once

#include <string>
#include <string_view>

#include "base/result.h"

namespace tov::platform::windows {

// Extended-length paths and short absolute ones stay as they are; any other
// path is made absolute (against the current directory now) and
// extended-length, so that neither a relative path nor a long one stops a
// call. A NUL inside the path is refused.
base::Status system_path(std::string_view path, std::wstring& out);

}  // namespace tov::platform::windows
