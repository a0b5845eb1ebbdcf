// Digests of whole files, streamed through SHA-256 in chunks of a fixed
// size: memory stays bounded whatever the file's size. The single-file
// digest and the batch both go through digest_file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/result.h"
#include "hashing/digest.h"
#include "platform/file.h"

namespace tov::hashing {

// What one read asks for. Large enough that the per-read cost vanishes
// against the digest, small enough to stay in cache between the read and
// the digest.
inline constexpr std::size_t kFileChunkSize = 256 * 1024;

// The digest of everything `file` yields from where it stands to end of
// file. `size_hint` is the size the system reported, 0 when unknown: sizes
// are not trusted (some regular files report 0 and still have content,
// others grow while being read), but a short read that reaches the reported
// size is taken as the end, which saves the final empty read, a system call
// per small file. Uses the calling thread's chunk buffer and digest state,
// so memory follows the number of threads, not of files or their sizes.
base::Result<Digest> digest_file(platform::File& file, std::uint64_t size_hint);

// The digest of the file at `path`, read from start to end of file.
// Whatever the path names is read, as a plain open and read would: a FIFO
// blocks until a writer opens it and is read until every writer has closed
// it, so the call may wait indefinitely and belongs on a thread made for
// blocking. A path holding a NUL byte is refused before any system call.
// The file is closed on every path out. Never throws: a failed allocation
// is texts::kOutOfMemory.
base::Result<Digest> hash_file(std::string_view path);

}  // namespace tov::hashing
