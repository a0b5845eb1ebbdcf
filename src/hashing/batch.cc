#include "hashing/batch.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "hashing/file_digest.h"
#include "hashing/multi_digest.h"
#include "platform/file.h"
#include "platform/read_ring.h"
#include "platform/thread_exit.h"
#include "runtime/pool.h"

namespace tov::hashing {

using runtime::parallel_for;
using runtime::WorkerPool;

namespace {

// Why a path was left out when the system reported no error: what it names
// is no regular file (any more).
constexpr base::FixedText kNotRegular = "not a regular file";

// Opens, checks and streams a path whose metadata already said it is a
// regular file. `seen` gets the metadata the open found.
base::Result<Digest> stream_regular_file(std::string_view path,
                                         platform::FileStatus* seen = nullptr) {
  platform::FileStatus status;
  platform::File file;
  if (base::Status opened = file.open_for_reading(path, &status); !opened) {
    return std::move(opened).error();
  }
  // The path may have been replaced between the query and the open.
  if (!status.is_regular) return kNotRegular;
  if (seen != nullptr) *seen = status;
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
  // The metadata of the last query or open before the read.
  platform::FileStatus status;
  // Its identity is one of those to leave out.
  bool left_out = false;
  std::uint64_t bytes = 0;
  // Why the path was left out, as the attempt that failed saw it.
  std::optional<base::Error> failure;
  // The same, when that was for want of descriptors or memory: not a
  // property of the path.
  std::optional<base::Error> exhausted;
  // A regular file left for the streaming pass, which hashes such files
  // several at a time over the lanes of the multi-buffer digest.
  bool streamed = false;

  void take(const base::Result<Digest>& result) {
    hit = result.ok();
    if (hit) {
      digest = *result;
    } else {
      note(result.error());
    }
  }
  void note(const base::Error& error) {
    failure = error;
    if (platform::is_exhaustion(error)) exhausted = error;
  }
};

bool is_left_out(std::span<const platform::FileIdentity> leave_out,
                 const platform::FileStatus& status) {
  if (!status.identity.known()) return false;
  for (const platform::FileIdentity& identity : leave_out) {
    if (identity == status.identity) return true;
  }
  return false;
}

// The metadata step every path goes through first, checked before opening
// so that a FIFO, socket or device is never touched. True when the path is
// a regular file to hash.
bool admit(const base::Result<platform::FileStatus>& status,
           std::span<const platform::FileIdentity> leave_out, Slot& slot) {
  if (!status) {
    slot.note(status.error());
    return false;
  }
  if (!status->is_regular) {
    slot.note(kNotRegular);
    return false;
  }
  if (is_left_out(leave_out, *status)) {
    slot.left_out = true;
    return false;
  }
  slot.status = *status;
  return true;
}

// One path on the calling thread.
void hash_one(std::string_view path, std::span<const platform::FileIdentity> leave_out,
              Slot& slot) {
  if (!admit(platform::query_path(path), leave_out, slot)) return;
  slot.take(stream_regular_file(path, &slot.status));
  slot.bytes = slot.status.size;
}

// Scratch of the ring path, one per thread and reused by every block it
// hashes: at most kRingBatchBytes of file contents.
struct RingScratch {
  std::string names;                   // the block's paths, NUL-terminated
  std::vector<std::uint8_t> contents;  // their contents, back to back
};

RingScratch& thread_ring_scratch() {
  return platform::per_thread<RingScratch>();
}

// A file for the ring; offsets, since both scratch buffers may still move.
struct Queued {
  std::size_t index;  // of its path
  std::size_t name_at;
  std::size_t content_at;
  std::uint64_t size;
};

// A block's files as the ring path sorts them: the small regular files the
// ring reads, the regular files left for the streaming pass, and the room
// the ring's reads take.
struct RingBlock {
  Queued queue[platform::ReadRing::kMaxBatch];
  std::size_t queued = 0;
  std::size_t streamed[platform::ReadRing::kMaxBatch];
  std::size_t streamed_count = 0;
  std::size_t content_size = 0;
};

// Without a ring, every path of the block only gets the metadata step here,
// and the regular files are left for the streaming pass.
void admit_for_streaming(std::span<const std::string_view> paths, std::size_t first,
                         std::size_t count, Slot* slots,
                         std::span<const platform::FileIdentity> leave_out) {
  for (std::size_t index = first; index < first + count; ++index) {
    slots[index].streamed = admit(platform::query_path(paths[index]), leave_out, slots[index]);
  }
}

// The metadata step of the ring path: queries each path of the block through
// its NUL-terminated copy in the scratch names, and sorts the regular files
// into `block`.
void queue_for_ring(std::span<const std::string_view> paths, std::size_t first, std::size_t count,
                    Slot* slots, std::span<const platform::FileIdentity> leave_out,
                    RingScratch& scratch, RingBlock& block) {
  scratch.names.clear();
  for (std::size_t index = first; index < first + count; ++index) {
    const std::string_view path = paths[index];
    // Leaves out what the streaming path leaves out, with the same query.
    if (path.find('\0') != std::string_view::npos) {
      slots[index].note(base::texts::kNulInPath);
      continue;
    }
    const std::size_t at = scratch.names.size();
    scratch.names.append(path);
    scratch.names.push_back('\0');
    const base::Result<platform::FileStatus> queried =
        platform::query_path(scratch.names.c_str() + at);
    if (!admit(queried, leave_out, slots[index])) continue;
    const platform::FileStatus& status = *queried;
    if (status.size == 0 || status.size > kRingFileLimit ||
        block.content_size + status.size + 1 > kRingBatchBytes) {
      block.streamed[block.streamed_count++] = index;
      continue;
    }
    block.queue[block.queued] = {index, at, block.content_size, status.size};
    block.content_size += status.size + 1;
    ++block.queued;
  }
}

// Reads the queued files in one batch, each into a room one byte larger than
// its size: a result of exactly the size is the whole file. False if the
// ring failed as a whole.
bool read_queued(platform::ReadRing& ring, RingScratch& scratch, const RingBlock& block,
                 platform::ReadRing::Request* requests) {
  if (scratch.contents.size() < block.content_size) scratch.contents.resize(block.content_size);
  for (std::size_t q = 0; q < block.queued; ++q) {
    requests[q].path = scratch.names.c_str() + block.queue[q].name_at;
    requests[q].buffer = scratch.contents.data() + block.queue[q].content_at;
    requests[q].capacity = static_cast<std::uint32_t>(block.queue[q].size + 1);
  }
  return ring.read_batch(std::span(requests, block.queued));
}

// The files read whole go through the lanes together; what the ring found
// not to be a regular file any more is left out; the rest are redone the
// streaming way.
void digest_read_files(const RingBlock& block, const platform::ReadRing::Request* requests,
                       bool read, const RingScratch& scratch, Slot* slots) {
  using platform::ReadRing;
  std::span<const std::uint8_t> messages[ReadRing::kMaxBatch];
  Digest digests[ReadRing::kMaxBatch];
  std::size_t whole[ReadRing::kMaxBatch];
  std::size_t whole_count = 0;
  for (std::size_t q = 0; q < block.queued; ++q) {
    const Queued& file = block.queue[q];
    if (read && requests[q].ok && requests[q].bytes_read == file.size) {
      messages[whole_count] = std::span(scratch.contents.data() + file.content_at, file.size);
      whole[whole_count++] = file.index;
    } else if (read && requests[q].not_regular) {
      slots[file.index].note(kNotRegular);
    } else {
      slots[file.index].streamed = true;
    }
  }
  if (lane_plan().worthwhile) {
    sha256_messages(std::span(messages, whole_count), digests);
  } else {
    for (std::size_t w = 0; w < whole_count; ++w) {
      digests[w] = sha256(messages[w].data(), messages[w].size());
    }
  }
  for (std::size_t w = 0; w < whole_count; ++w) {
    slots[whole[w]].digest = digests[w];
    slots[whole[w]].bytes = messages[w].size();
    slots[whole[w]].hit = true;
  }
}

// Hashes paths[first, first + count) into slots[first, ...). Each small
// regular file goes through the ring, read whole in one batch. Anything else
// (a file that changed, a read that would have waited for the disk, an open
// that found the descriptor table full, a ring that failed) is redone the
// streaming way, one file at a time, whose open and fstat have the last word.
void hash_block(std::span<const std::string_view> paths, std::size_t first, std::size_t count,
                Slot* slots, std::span<const platform::FileIdentity> leave_out, bool use_ring) {
  using platform::ReadRing;
  ReadRing* ring = use_ring && count >= 2 ? ReadRing::for_this_thread() : nullptr;
  if (ring == nullptr) {
    admit_for_streaming(paths, first, count, slots, leave_out);
    return;
  }
  RingScratch& scratch = thread_ring_scratch();
  RingBlock block;
  queue_for_ring(paths, first, count, slots, leave_out, scratch, block);
  ReadRing::Request requests[ReadRing::kMaxBatch];
  const bool read = read_queued(*ring, scratch, block, requests);
  digest_read_files(block, requests, read, scratch, slots);
  // Their metadata is known already; the open checks it again.
  for (std::size_t s = 0; s < block.streamed_count; ++s) slots[block.streamed[s]].streamed = true;
}

// Per-thread read buffers of the streaming pass, one per lane, reused by
// every file the thread streams: memory follows the number of threads and
// lanes, never the number or size of the files.
struct LaneBuffers {
  std::size_t chunk = 0;
  std::unique_ptr<std::uint8_t[]> bytes;
};

LaneBuffers& thread_lane_buffers(std::size_t lanes) {
  LaneBuffers& buffers = platform::per_thread<LaneBuffers>();
  // About a megabyte per thread whatever the lane count, in reads of at
  // least 64 KiB.
  const std::size_t chunk =
      std::max<std::size_t>(kFileChunkSize * 4 / lanes, 64 * 1024) & ~std::size_t{63};
  if (buffers.chunk != chunk) {
    buffers.bytes.reset(new std::uint8_t[chunk * lanes]);
    buffers.chunk = chunk;
  }
  return buffers;
}

// Streams files into the lanes. The files come from one list shared by
// every worker of the pass, each taken by the first lane that runs dry, so
// that the workers and their lanes stay busy until the last file.
class StreamedFiles final : public MessageSource {
 public:
  StreamedFiles(std::span<const std::string_view> paths, std::span<const std::size_t> files,
                std::atomic<std::size_t>& next, Slot* slots, std::size_t lanes)
      : paths_(paths),
        files_(files),
        next_(next),
        slots_(slots),
        buffers_(thread_lane_buffers(lanes)) {}

  bool open(std::size_t lane) override {
    Open& file = open_[lane];
    for (;;) {
      const std::size_t taken = next_.fetch_add(1, std::memory_order_relaxed);
      if (taken >= files_.size()) return false;
      file.index = files_[taken];
      file.total = 0;
      file.at_end = false;
      // The path may have been replaced since its query: the open has the
      // last word.
      const base::Status opened = file.file.open_for_reading(paths_[file.index], &file.status);
      if (opened && file.status.is_regular) {
        slots_[file.index].status = file.status;
        return true;
      }
      slots_[file.index].note(opened ? base::Error(kNotRegular) : opened.error());
      (void)file.file.close();
    }
  }

  bool read(std::size_t lane, std::span<const std::uint8_t>& bytes) override {
    Open& file = open_[lane];
    bytes = {};
    if (file.at_end) return true;
    std::uint8_t* buffer = buffers_.bytes.get() + lane * buffers_.chunk;
    const base::Result<std::size_t> read = file.file.read(buffer, buffers_.chunk);
    if (!read) {
      slots_[file.index].note(read.error());
      (void)file.file.close();
      return false;
    }
    const std::size_t got = *read;
    file.total += got;
    file.at_end = read_ends_file(got, buffers_.chunk, file.total, file.status.size);
    bytes = std::span<const std::uint8_t>(buffer, got);
    return true;
  }

  void finish(std::size_t lane, const Digest& digest) override {
    Open& file = open_[lane];
    (void)file.file.close();
    slots_[file.index].digest = digest;
    slots_[file.index].bytes = file.total;
    slots_[file.index].hit = true;
  }

 private:
  struct Open {
    platform::File file;
    platform::FileStatus status;
    std::uint64_t total = 0;
    std::size_t index = 0;
    bool at_end = false;
  };

  std::span<const std::string_view> paths_;
  std::span<const std::size_t> files_;
  std::atomic<std::size_t>& next_;
  Slot* slots_;
  LaneBuffers& buffers_;
  Open open_[lanes::kMaxLanes];
};

// The streaming pass over every file the first pass left for it.
void stream_files(std::span<const std::string_view> paths, std::vector<Slot>& slots) {
  std::vector<std::size_t> files;
  for (std::size_t index = 0; index < slots.size(); ++index) {
    if (slots[index].streamed) files.push_back(index);
  }
  if (files.empty()) return;
  // At least two tasks either way, so that the calling thread only waits, as
  // it does for the first pass; a task with nothing left returns at once.
  const LanePlan& plan = lane_plan();
  if (!plan.worthwhile) {
    WorkerPool::shared().for_each_index(std::max<std::size_t>(files.size(), 2), [&](std::size_t f) {
      if (f >= files.size()) return;
      Slot& slot = slots[files[f]];
      slot.take(stream_regular_file(paths[files[f]], &slot.status));
      slot.bytes = slot.status.size;
    });
    return;
  }
  // Few files are spread over the workers before they share lanes: two
  // workers with one file each outrun one worker with both.
  const std::size_t workers = std::max<std::size_t>(WorkerPool::shared().worker_count(), 1);
  const std::size_t lanes = std::min(plan.lanes, (files.size() + workers - 1) / workers);
  const std::size_t tasks = std::clamp<std::size_t>((files.size() + lanes - 1) / lanes, 2,
                                                    std::max<std::size_t>(workers, 2));
  std::atomic<std::size_t> next{0};
  WorkerPool::shared().for_each_index(tasks, [&](std::size_t) {
    StreamedFiles source(paths, files, next, slots.data(), plan.lanes);
    hash_messages(source, plan, lanes);
  });
}

}  // namespace

base::Result<std::vector<FileOutcome>> hash_each_file(
    std::span<const std::string_view> paths, std::span<const platform::FileIdentity> leave_out,
    bool use_ring) {
  std::vector<Slot> slots(paths.size());
  if (paths.size() == 1) {
    hash_one(paths[0], leave_out, slots[0]);
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
      hash_block(paths, first, std::min(block, paths.size() - first), slots.data(), leave_out,
                 use_ring);
    });
    stream_files(paths, slots);
  }

  // Running out of descriptors or memory says nothing about a path, and
  // leaving the file out would pass for its absence. Such files are tried
  // again one at a time, now that no other file of the batch is open; one
  // that fails so even then fails the call.
  for (std::size_t index = 0; index < slots.size(); ++index) {
    Slot& slot = slots[index];
    if (!slot.exhausted) continue;
    slot = Slot{};
    hash_one(paths[index], leave_out, slot);
    if (slot.exhausted) return std::move(*slot.exhausted);
  }

  std::vector<FileOutcome> outcomes(slots.size());
  for (std::size_t index = 0; index < slots.size(); ++index) {
    Slot& slot = slots[index];
    FileOutcome& outcome = outcomes[index];
    if (slot.hit) {
      outcome.kind = FileOutcome::Kind::kHashed;
      outcome.digest = slot.digest;
      outcome.bytes = slot.bytes;
      outcome.status = slot.status;
    } else if (slot.left_out) {
      outcome.kind = FileOutcome::Kind::kLeftOut;
    } else {
      // Every way out of the passes above notes its reason; this stands in
      // for one that did not.
      outcome.reason = slot.failure ? std::move(*slot.failure) : base::Error(kNotRegular);
    }
  }
  return outcomes;
}

base::Result<std::vector<BatchHit>> hash_files(std::span<const std::string_view> paths,
                                               bool use_ring) {
  base::Result<std::vector<FileOutcome>> outcomes = hash_each_file(paths, {}, use_ring);
  if (!outcomes) return std::move(outcomes).error();
  std::size_t hits = 0;
  for (const FileOutcome& outcome : *outcomes) {
    hits += outcome.kind == FileOutcome::Kind::kHashed ? 1 : 0;
  }
  std::vector<BatchHit> result;
  result.reserve(hits);
  for (std::size_t index = 0; index < outcomes->size(); ++index) {
    const FileOutcome& outcome = (*outcomes)[index];
    if (outcome.kind == FileOutcome::Kind::kHashed) result.push_back({index, outcome.digest});
  }
  return result;
}

}  // namespace tov::hashing
