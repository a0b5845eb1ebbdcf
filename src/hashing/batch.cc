#include "hashing/batch.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "hashing/file_digest.h"
#include "hashing/pool.h"
#include "platform/file.h"
#include "platform/read_ring.h"

namespace tov::hashing {

namespace {

// Why hash_regular_file left a path out when the system reported no error.
// Never shown: the batch drops such paths without a trace.
constexpr base::FixedText kNotRegular = "not a regular file";

// Opens, checks and streams a path whose metadata already said it is a
// regular file.
base::Result<Digest> stream_regular_file(std::string_view path) {
  platform::FileStatus status;
  platform::File file;
  if (base::Status opened = file.open_for_reading(path, &status); !opened) {
    return std::move(opened).error();
  }
  // The path may have been replaced between the query and the open.
  if (!status.is_regular) return kNotRegular;
  return digest_file(file, status.size);
}

}  // namespace

base::Result<Digest> hash_regular_file(std::string_view path) {
  // Checked before opening so that a FIFO, socket or device is never touched.
  base::Result<platform::FileStatus> status = platform::query_path(path);
  if (!status) return std::move(status).error();
  if (!status->is_regular) return kNotRegular;
  return stream_regular_file(path);
}

namespace {

// Files up to this size are read through the thread's read ring, in one read
// each, a batch of them per system call. The rest, and files whose size the
// system reports as 0, are streamed.
constexpr std::size_t kRingFileLimit = 64 * 1024;

// What one batch may read at once: the worker keeps a buffer this large for
// good, so it stays modest even where the pool has dozens of workers. Files
// beyond it in a block are streamed.
constexpr std::size_t kRingBatchBytes = 1024 * 1024;

struct Slot {
  Digest digest;
  bool hit = false;

  void take(const base::Result<Digest>& result) {
    hit = result.ok();
    if (hit) digest = *result;
  }
};

// Scratch of the ring path, one per thread and reused by every block it
// hashes: at most kRingBatchBytes of file contents.
struct RingScratch {
  std::string names;                   // the block's paths, NUL-terminated
  std::vector<std::uint8_t> contents;  // their contents, back to back
};

RingScratch& thread_ring_scratch() {
  thread_local RingScratch scratch;
  return scratch;
}

// Hashes paths[first, first + count) into slots[first, ...). Each small
// regular file goes through the ring, with a read room one byte larger than
// its size: a result of exactly the size is the whole file. Anything else (a
// file that changed, a read that would have waited for the disk, a ring that
// failed) is redone the streaming way, whose open and fstat have the last
// word.
void hash_block(std::span<const std::string_view> paths, std::size_t first, std::size_t count,
                Slot* slots, bool use_ring) {
  using platform::ReadRing;
  ReadRing* ring = use_ring && count >= 2 ? ReadRing::for_this_thread() : nullptr;
  if (ring == nullptr) {
    for (std::size_t index = first; index < first + count; ++index) {
      slots[index].take(hash_regular_file(paths[index]));
    }
    return;
  }

  RingScratch& scratch = thread_ring_scratch();
  // A file for the ring; offsets, since both scratch buffers may still move.
  struct Queued {
    std::size_t index;  // of its path
    std::size_t name_at;
    std::size_t content_at;
    std::uint64_t size;
  };
  Queued queue[ReadRing::kMaxBatch];
  std::size_t streamed[ReadRing::kMaxBatch];
  std::size_t queued = 0;
  std::size_t streamed_count = 0;
  std::size_t content_size = 0;
  scratch.names.clear();
  for (std::size_t index = first; index < first + count; ++index) {
    const std::string_view path = paths[index];
    // Leaves out what the streaming path leaves out, with the same query.
    if (path.find('\0') != std::string_view::npos) continue;
    const std::size_t at = scratch.names.size();
    scratch.names.append(path);
    scratch.names.push_back('\0');
    const base::Result<platform::FileStatus> queried =
        platform::query_path(scratch.names.c_str() + at);
    if (!queried || !queried->is_regular) continue;
    const platform::FileStatus& status = *queried;
    if (status.size == 0 || status.size > kRingFileLimit ||
        content_size + status.size + 1 > kRingBatchBytes) {
      streamed[streamed_count++] = index;
      continue;
    }
    queue[queued] = {index, at, content_size, status.size};
    content_size += status.size + 1;
    ++queued;
  }

  if (scratch.contents.size() < content_size) scratch.contents.resize(content_size);
  ReadRing::Request requests[ReadRing::kMaxBatch];
  for (std::size_t q = 0; q < queued; ++q) {
    requests[q].path = scratch.names.c_str() + queue[q].name_at;
    requests[q].buffer = scratch.contents.data() + queue[q].content_at;
    requests[q].capacity = static_cast<std::uint32_t>(queue[q].size + 1);
  }
  const bool read = ring->read_batch(std::span(requests, queued));
  for (std::size_t q = 0; q < queued; ++q) {
    const Queued& file = queue[q];
    Slot& slot = slots[file.index];
    if (read && requests[q].ok && requests[q].bytes_read == file.size) {
      slot.digest = sha256(scratch.contents.data() + file.content_at, file.size);
      slot.hit = true;
    } else {
      slot.take(stream_regular_file(paths[file.index]));
    }
  }
  // Their metadata is known already; the open checks it again.
  for (std::size_t s = 0; s < streamed_count; ++s) {
    slots[streamed[s]].take(stream_regular_file(paths[streamed[s]]));
  }
}

}  // namespace

std::vector<BatchHit> hash_files(std::span<const std::string_view> paths, bool use_ring) {
  std::vector<Slot> slots(paths.size());
  if (paths.size() == 1) {
    slots[0].take(hash_regular_file(paths[0]));
  } else if (paths.size() > 1) {
    // Blocks of consecutive paths, so that the ring can take many files per
    // call, yet small enough (several per worker) that the workers stay
    // evenly busy; a list of a few large files still spreads file by file.
    const std::size_t workers = std::max<std::size_t>(WorkerPool::shared().worker_count(), 1);
    const std::size_t block =
        std::clamp<std::size_t>(paths.size() / (workers * 8), 1, platform::ReadRing::kMaxBatch);
    const std::size_t blocks = (paths.size() + block - 1) / block;
    parallel_for(blocks, [&](std::size_t b) {
      const std::size_t first = b * block;
      hash_block(paths, first, std::min(block, paths.size() - first), slots.data(), use_ring);
    });
  }

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
