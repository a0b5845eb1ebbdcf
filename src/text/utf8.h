// UTF-8 facts and conversions: the transcoding that string arguments go
// through, validation, and character boundaries. Free of the host's API so
// that they can be tested and fuzzed on their own.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace tov::text {

// The number of UTF-16 code units that well-formed UTF-8 `text` decodes to:
// one per character, two for characters beyond U+FFFF.
std::size_t utf16_length(std::string_view text) noexcept;

struct Utf8Encoded {
  std::size_t size = 0;   // bytes written
  bool replaced = false;  // some unpaired surrogate became U+FFFD
};

// Encodes `count` UTF-16 code units as UTF-8 into `out`: at most 3 bytes per
// unit. Each unpaired surrogate becomes U+FFFD (EF BF BD), as the host's own
// conversion does, and the result says whether that happened, that is,
// whether the bytes still stand for exactly the units given.
//
// `out` may lie in the same buffer as `in`, provided that `in` starts at
// least `count` bytes after `out`: the output never overtakes input still
// to be read. This lets one buffer of 3 * count + 4 bytes hold both.
Utf8Encoded utf16_to_utf8(const char16_t* in, std::size_t count, char* out) noexcept;

// The same, one unit at a time: the reference the fast paths are tested
// against.
Utf8Encoded utf16_to_utf8_scalar(const char16_t* in, std::size_t count, char* out) noexcept;

// Every implementation of utf16_to_utf8 that this processor can run, the
// scalar one included, so that tests and fuzzing can reach each of them.
using Utf16ToUtf8 = Utf8Encoded (*)(const char16_t* in, std::size_t count, char* out) noexcept;
std::vector<Utf16ToUtf8> utf16_to_utf8_variants();

// Length of the well-formed UTF-8 sequence starting at text[i] (i <
// text.size()), or 0 when the bytes there are not one: overlong forms,
// surrogates and values past U+10FFFF are not.
std::size_t utf8_sequence_length(std::string_view text, std::size_t i) noexcept;

// Offset of the first byte that is not part of well-formed UTF-8, if any.
std::optional<std::size_t> first_invalid_utf8(std::string_view text) noexcept;

// Moves `index` back to the first byte of the UTF-8 character it points into,
// so that text.substr(0, result) is valid UTF-8 whenever text is. Indexes on
// a character boundary (or at the end) are returned unchanged; in ill-formed
// text no more than three continuation bytes are skipped.
std::size_t utf8_boundary_before(std::string_view text, std::size_t index) noexcept;

}  // namespace tov::text
