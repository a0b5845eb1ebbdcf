// Facts about UTF-8 text that the conversions need without decoding it.
#pragma once

#include <cstddef>
#include <string_view>

namespace tov::frame {

// The number of UTF-16 code units that well-formed UTF-8 `text` decodes to:
// one per character, two for characters beyond U+FFFF.
std::size_t utf16_length(std::string_view text) noexcept;

}  // namespace tov::frame
