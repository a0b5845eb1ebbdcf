// Digests of many files at once, spread over the shared worker pool.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "hashing/digest.h"

namespace tov::hashing {

struct BatchHit {
  std::size_t index;  // position of the path in the input
  Digest digest;      // of the file's whole contents
};

// One hit per path that names a readable regular file (symbolic links
// followed), in input order. Every other path is left out without a trace:
// paths holding a NUL byte, missing or unreachable ones, directories, FIFOs,
// sockets and devices (never opened, so nothing blocks), and files that fail
// to open or read. Small files are read whole, a batch at a time per worker,
// through the system's read ring where there is one (`use_ring` false reads
// file by file, for comparison); larger ones are streamed through the digest
// in fixed-size chunks (digest_file). Either way memory follows the number of workers, not
// of files or their sizes. Returns when every path is done; a single path is
// handled on the calling thread. May throw std::bad_alloc.
std::vector<BatchHit> hash_files(std::span<const std::string_view> paths, bool use_ring = true);

// The per-path step of hash_files, on the calling thread: the digest, or
// why the path is left out.
base::Result<Digest> hash_regular_file(std::string_view path);

}  // namespace tov::hashing
