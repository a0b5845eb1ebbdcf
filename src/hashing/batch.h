// Digests of many files at once, spread over the shared worker pool.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "hashing/digest.h"
#include "platform/file.h"

namespace tov::hashing {

struct BatchHit {
  std::size_t index;  // position of the path in the input
  Digest digest;      // of the file's whole contents
};

struct BatchHashes {
  std::vector<BatchHit> hits;
  // Set, with no hits, when a file could not be read for want of
  // descriptors or memory even once it was the only one in flight.
  platform::FileError exhausted;
};

// One hit per path that names a readable regular file (symbolic links
// followed), in input order. Every other path is left out without a trace:
// paths holding a NUL byte, missing or unreachable ones, directories, FIFOs,
// sockets and devices (never read, and opened at most without waiting), and
// files that fail to open or read for reasons of their own (see
// BatchHashes::exhausted for the others). Small files are read whole, a batch at a time per worker,
// through the system's read ring where there is one (`use_ring` false reads
// file by file, for comparison); larger ones are streamed through the digest
// in fixed-size chunks. Either way memory follows the number of workers, not
// of files or their sizes. Returns when every path is done; a single path is
// handled on the calling thread. May throw std::bad_alloc.
BatchHashes hash_files(std::span<const std::string_view> paths, bool use_ring = true);

// The per-path step of hash_files, on the calling thread: true and the
// digest, or false when the path is left out; then `exhausted`, if given, is
// set when that was for want of descriptors or memory.
bool hash_regular_file(std::string_view path, Digest& digest,
                       platform::FileError* exhausted = nullptr);

}  // namespace tov::hashing
