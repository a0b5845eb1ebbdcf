#include "hashing/file_digest.h"

#include <memory>
#include <new>

#include "platform/thread_exit.h"

namespace tov::hashing {

namespace {

// The calling thread's read buffer and digest state, reused by every file
// it digests.
struct Streamer {
  std::unique_ptr<std::uint8_t[]> buffer{new std::uint8_t[kFileChunkSize]};
  Sha256 hasher;
};

Streamer& thread_streamer() {
  return platform::per_thread<Streamer>();
}

}  // namespace

base::Result<Digest> digest_file(platform::File& file, std::uint64_t size_hint) {
  Streamer& streamer = thread_streamer();
  std::uint64_t total = 0;
  for (;;) {
    base::Result<std::size_t> got = file.read(streamer.buffer.get(), kFileChunkSize);
    if (!got) {
      (void)streamer.hasher.finish();  // discard the partial message
      return std::move(got).error();
    }
    streamer.hasher.update(streamer.buffer.get(), *got);
    total += *got;
    if (read_ends_file(*got, kFileChunkSize, total, size_hint)) break;
  }
  return streamer.hasher.finish();
}

base::Result<Digest> hash_file(std::string_view path) {
  try {
    platform::File file;
    // A plain open, not the batch's non-blocking one: there is no
    // regular-file test here, so a FIFO is read like any other file, which
    // means waiting for its writer and then for its data up to end of file.
    if (base::Status opened = file.open_blocking(path); !opened) return std::move(opened).error();
    // A failed size query only costs the final empty read.
    const base::Result<platform::FileStatus> status = file.status();
    return digest_file(file, status ? status->size : 0);
  } catch (const std::bad_alloc&) {
    return base::texts::kOutOfMemory;
  }
}

}  // namespace tov::hashing
