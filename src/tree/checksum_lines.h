// Checksum lines of the form this package writes, "<64 hex digits>  <path>",
// taken apart a block at a time without handing each line to JavaScript.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tov::tree {

// Entries as two columns: the paths joined by NUL, and the digests
// lower-cased one after another, 64 characters each.
struct ChecksumColumns {
  std::string names;
  std::string digests;
  std::size_t count = 0;
  // Bytes of the block the entries came from: their lines and the line
  // feeds after them, one more than the block when every line was taken.
  std::size_t taken = 0;
};

// The entries of the lines at the start of `block` (lines split at line
// feeds; the last one needs none) that are "<64 hex digits> <space or
// *><path>", a carriage return at the end left off, with a path of
// well-formed UTF-8 holding no NUL and no carriage return. The first line
// of any other kind (an empty line, a comment, an escaped or tagged line, a
// name that is not UTF-8) ends them: the caller reads that one itself.
ChecksumColumns split_checksum_lines(std::string_view block);

}  // namespace tov::tree
