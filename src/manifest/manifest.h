// Manifests: lists of (key, value) pairs, in practice (file path, hex digest).
//
// Everything here works on raw bytes. Keys and values may hold any byte,
// including NUL, and are compared as unsigned bytes; nothing is trimmed,
// folded or validated. The functions only read the pairs and never fail
// other than by exhausted memory (std::bad_alloc).
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hashing/digest.h"

namespace tov::manifest {

// One manifest entry, borrowed from strings the caller keeps alive.
struct Pair {
  std::string_view key;
  std::string_view value;
};

// Byte length of canonical_text(pairs) without building it:
// (sum of key and value lengths) + n + (n - 1), or 0 for no pairs.
std::size_t canonical_text_size(std::span<const Pair> pairs);

// The manifest as one text: the pairs stably sorted by key (unsigned byte
// order, a prefix before its extensions, values ignored), each written as
// key ":" value, lines joined by a single "\n", no trailing newline. There is
// no escaping, so ("a:b", "c") and ("a", "b:c") give the same line.
std::string canonical_text(std::span<const Pair> pairs);

// SHA-256 of canonical_text(pairs), computed without materialising the text.
hashing::Digest merkle_root(std::span<const Pair> pairs);

// Keys that changed from one manifest to the next. Within each manifest the
// last entry of a key wins. Each key appears at most once and in at most one
// list. The views point into the keys of the input pairs.
struct DiffResult {
  std::vector<std::string_view> added;     // in `second` only
  std::vector<std::string_view> modified;  // in both, values differ
  std::vector<std::string_view> deleted;   // in `first` only
};

// Lists follow input order: `added` and `modified` by the position of each
// key's last entry in `second`, `deleted` by its last entry in `first`.
// Callers should not rely on that order.
DiffResult diff(std::span<const Pair> first, std::span<const Pair> second);

}  // namespace tov::manifest
