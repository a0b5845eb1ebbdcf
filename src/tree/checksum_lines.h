// Checksum lines of the form this package writes, "<64 hex digits>  <path>",
// taken apart a block at a time without handing each line to JavaScript.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tov::tree {

// A block's entries as two columns: the paths joined by NUL, and the digests
// lower-cased one after another, 64 characters each.
struct ChecksumColumns {
  std::string names;
  std::string digests;
  std::size_t count = 0;
};

// The entries of `block` (complete lines, the last one's line feed left off)
// when every line is "<64 hex digits> <space or *><path>" with a path of
// well-formed UTF-8 holding no NUL and no carriage return. Anything else (an
// empty line, a comment, an escaped or tagged line, a name that is not
// UTF-8) gives nothing: the caller reads that block line by line.
std::optional<ChecksumColumns> split_checksum_lines(std::string_view block);

}  // namespace tov::tree
