#include "hashing/batch.h"

#include <memory>

#include "hashing/pool.h"
#include "platform/file.h"

namespace tov::hashing {

namespace {

// Large enough that the per-read cost vanishes against the digest, small
// enough to stay in cache between the read and the digest.
constexpr std::size_t kChunkSize = 256 * 1024;

// Per-thread read buffer and digest state, reused by every file the thread
// hashes, so memory follows the number of threads rather than of files.
struct Streamer {
  std::unique_ptr<std::uint8_t[]> buffer{new std::uint8_t[kChunkSize]};
  Sha256 hasher;
};

Streamer& thread_streamer() {
  thread_local Streamer streamer;
  return streamer;
}

}  // namespace

bool hash_regular_file(std::string_view path, Digest& digest) {
  // Checked before opening so that a FIFO, socket or device is never touched.
  platform::FileStatus status;
  if (platform::query_path(path, status).failed() || !status.is_regular) return false;
  platform::File file;
  if (file.open_for_reading(path, &status).failed()) return false;
  // The path may have been replaced between the query and the open.
  if (!status.is_regular) return false;

  Streamer& streamer = thread_streamer();
  // Sizes are not trusted: some regular files report 0 and still have
  // content, others grow while being read. The read goes on to end of file,
  // except that a short read which reaches the reported size is taken as the
  // end: that saves the final empty read, a system call per small file.
  std::uint64_t total = 0;
  for (;;) {
    std::size_t got = 0;
    if (file.read(streamer.buffer.get(), kChunkSize, got).failed()) {
      streamer.hasher.finish();  // discard the partial message
      return false;
    }
    if (got == 0) break;
    streamer.hasher.update(streamer.buffer.get(), got);
    total += got;
    if (got < kChunkSize && status.size != 0 && total >= status.size) break;
  }
  digest = streamer.hasher.finish();
  return true;
}

std::vector<BatchHit> hash_files(std::span<const std::string_view> paths) {
  struct Slot {
    Digest digest;
    bool hit = false;
  };
  std::vector<Slot> slots(paths.size());
  parallel_for(paths.size(), [&](std::size_t index) {
    slots[index].hit = hash_regular_file(paths[index], slots[index].digest);
  });

  std::size_t hits = 0;
  for (const Slot& slot : slots) hits += slot.hit ? 1 : 0;
  std::vector<BatchHit> result;
  result.reserve(hits);
  for (std::size_t index = 0; index < slots.size(); ++index) {
    if (slots[index].hit) result.push_back({index, slots[index].digest});
  }
  return result;
}

}  // namespace tov::hashing
