// Digests of many files at once, spread over the shared worker pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "hashing/digest.h"
#include "platform/file.h"

namespace tov::hashing {

struct BatchHit {
  std::size_t index;  // position of the path in the input
  Digest digest;      // of the file's whole contents
};

// One hit per path that names a readable regular file (symbolic links
// followed), in input order. Every other path is left out without a trace:
// paths holding a NUL byte, missing or unreachable ones, directories, FIFOs,
// sockets and devices (never read, and opened at most without waiting), and
// files that fail to open or read for reasons of their own. A file that
// cannot be read for want of descriptors or memory (platform::is_exhaustion)
// is tried again alone once the others are done; if it fails so even then,
// the call returns that error instead. Small files are read whole, a batch
// at a time per worker, through the system's read ring where there is one
// (`use_ring` false reads file by file, for comparison); larger ones are
// streamed in fixed-size chunks, by the rule of digest_file. Several files
// are hashed at once per worker over the lanes of the multi-buffer digest,
// which gives the digests of the single-stream one. Either way memory
// follows the number of workers, not of files or their sizes. Returns when
// every path is done; a single path is handled on the calling thread. May
// throw std::bad_alloc.
base::Result<std::vector<BatchHit>> hash_files(std::span<const std::string_view> paths,
                                               bool use_ring = true);

// What became of one path of hash_each_file.
struct FileOutcome {
  enum class Kind : std::uint8_t { kHashed, kFailed, kLeftOut };
  Kind kind = Kind::kFailed;
  Digest digest{};          // kHashed
  std::uint64_t bytes = 0;  // kHashed: how many bytes were digested
  // kHashed: the metadata of the file's last query or open before its read.
  platform::FileStatus status;
  // kFailed: why, from the attempt that failed ("not a regular file" for
  // whatever is no regular file when it is reached, never read).
  std::optional<base::Error> reason;
};

// hash_files with one outcome per path, in input order, and the reason for
// every path left out. A regular file whose identity is in `leave_out`
// (compared where the system gives identities) is neither read nor hashed:
// kLeftOut. The same rules and the same reads as hash_files otherwise.
base::Result<std::vector<FileOutcome>> hash_each_file(
    std::span<const std::string_view> paths, std::span<const platform::FileIdentity> leave_out = {},
    bool use_ring = true);

// The per-path step of hash_files, on the calling thread: the digest, or
// why the path is left out.
base::Result<Digest> hash_regular_file(std::string_view path);

}  // namespace tov::hashing
