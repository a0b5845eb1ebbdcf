// UTF-8 and UTF-16 conversions for calls into Windows, which takes and gives
// text as UTF-16.
#pragma once

#include <string>
#include <string_view>

namespace tov::platform::windows {

// The UTF-16 form of UTF-8 text, NUL-terminated. Ill-formed bytes become
// U+FFFD, as the system's own conversion does.
std::wstring to_wide(std::string_view text);

// False when `text` is not valid UTF-16 (an unpaired surrogate); `out` is
// then unspecified.
bool to_utf8(std::wstring_view text, std::string& out);

}  // namespace tov::platform::windows
