#include "frame/utf8.h"

#include <cstdint>

namespace tov::frame {

std::size_t utf16_length(std::string_view text) noexcept {
  // Every byte but a continuation byte (10xxxxxx) starts a character, and a
  // four-byte lead (11110xxx) starts one that needs a surrogate pair.
  // Branch-free, so the compiler turns it into vector code.
  std::size_t units = 0;
  for (const char c : text) {
    const auto byte = static_cast<std::uint8_t>(c);
    units +=
        static_cast<std::size_t>((byte & 0xC0) != 0x80) + static_cast<std::size_t>(byte >= 0xF0);
  }
  return units;
}

}  // namespace tov::frame
