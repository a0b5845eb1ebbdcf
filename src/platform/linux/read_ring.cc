#include "platform/read_ring.h"

// Built only where the kernel headers are those of Linux 5.17 or later (see
// CMake), the kernels this has been tried on.
#include <fcntl.h>
#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <memory>

namespace tov::platform {

namespace {

// Room for a whole round: a read and a close per request.
constexpr unsigned kEntries = 2 * ReadRing::kMaxBatch;

// A completion slot whose request the kernel has not answered.
constexpr std::int64_t kPending = INT64_MIN;

// Set-up failures that say nothing about the system's support for rings,
// only that the process is short of descriptors or memory at the moment.
bool short_of_resources(int code) {
  return code == EMFILE || code == ENFILE || code == ENOMEM;
}

int ring_setup(unsigned entries, io_uring_params* params) {
  return static_cast<int>(::syscall(__NR_io_uring_setup, entries, params));
}

int ring_enter(int fd, unsigned to_submit, unsigned min_complete, unsigned flags) {
  return static_cast<int>(
      ::syscall(__NR_io_uring_enter, fd, to_submit, min_complete, flags, nullptr, 0));
}

// The ring indexes are shared with the kernel, which reads and writes them
// concurrently. The compiler's atomic built-ins rather than std::atomic_ref:
// libc++ before LLVM 19 (the one Zig links) has no atomic_ref.
unsigned load_acquire(unsigned* shared) {
  return __atomic_load_n(shared, __ATOMIC_ACQUIRE);
}

void store_release(unsigned* shared, unsigned value) {
  __atomic_store_n(shared, value, __ATOMIC_RELEASE);
}

void* map_ring(int fd, std::size_t size, off_t offset) {
  void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, offset);
  return map == MAP_FAILED ? nullptr : map;
}

}  // namespace

struct ReadRing::Rings {
  int fd = -1;
  void* sq_map = nullptr;
  std::size_t sq_map_size = 0;
  void* cq_map = nullptr;  // the same mapping as sq_map on most kernels
  std::size_t cq_map_size = 0;
  io_uring_sqe* sqes = nullptr;
  std::size_t sqes_size = 0;

  unsigned* sq_head = nullptr;
  unsigned* sq_tail = nullptr;
  unsigned sq_mask = 0;
  unsigned* cq_head = nullptr;
  unsigned* cq_tail = nullptr;
  unsigned cq_mask = 0;
  io_uring_cqe* cqes = nullptr;

  Rings() = default;
  Rings(const Rings&) = delete;
  Rings& operator=(const Rings&) = delete;

  // Closing the ring also closes any file still open in its slots.
  ~Rings() {
    if (sqes != nullptr) ::munmap(sqes, sqes_size);
    if (cq_map != nullptr && cq_map != sq_map) ::munmap(cq_map, cq_map_size);
    if (sq_map != nullptr) ::munmap(sq_map, sq_map_size);
    if (fd >= 0) ::close(fd);
  }

  // The errno value of a failed open(), 0 for a kernel that lacks features.
  int failure = 0;

  bool open() {
    if (!map()) {
      failure = errno;
      return false;
    }
    return true;
  }

  bool map() {
    io_uring_params params;
    std::memset(&params, 0, sizeof params);
    fd = ring_setup(kEntries, &params);
    if (fd < 0) return false;
    if ((params.features & IORING_FEAT_LINKED_FILE) == 0 || params.sq_entries < kEntries ||
        params.cq_entries < kEntries) {
      errno = 0;
      return false;
    }

    sq_map_size = params.sq_off.array + params.sq_entries * sizeof(unsigned);
    cq_map_size = params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe);
    const bool single_map = (params.features & IORING_FEAT_SINGLE_MMAP) != 0;
    if (single_map) sq_map_size = cq_map_size = std::max(sq_map_size, cq_map_size);
    sq_map = map_ring(fd, sq_map_size, IORING_OFF_SQ_RING);
    if (sq_map == nullptr) return false;
    cq_map = single_map ? sq_map : map_ring(fd, cq_map_size, IORING_OFF_CQ_RING);
    if (cq_map == nullptr) return false;
    sqes_size = params.sq_entries * sizeof(io_uring_sqe);
    sqes = static_cast<io_uring_sqe*>(map_ring(fd, sqes_size, IORING_OFF_SQES));
    if (sqes == nullptr) return false;

    auto* sq = static_cast<char*>(sq_map);
    sq_head = reinterpret_cast<unsigned*>(sq + params.sq_off.head);
    sq_tail = reinterpret_cast<unsigned*>(sq + params.sq_off.tail);
    sq_mask = *reinterpret_cast<unsigned*>(sq + params.sq_off.ring_mask);
    // Entry i of the submission queue always names request slot i.
    auto* array = reinterpret_cast<unsigned*>(sq + params.sq_off.array);
    for (unsigned index = 0; index < params.sq_entries; ++index) array[index] = index;

    auto* cq = static_cast<char*>(cq_map);
    cq_head = reinterpret_cast<unsigned*>(cq + params.cq_off.head);
    cq_tail = reinterpret_cast<unsigned*>(cq + params.cq_off.tail);
    cq_mask = *reinterpret_cast<unsigned*>(cq + params.cq_off.ring_mask);
    cqes = reinterpret_cast<io_uring_cqe*>(cq + params.cq_off.cqes);

    return true;
  }

  // A fresh submission entry at the tail, not yet visible to the kernel.
  io_uring_sqe* next_entry(unsigned& tail) {
    io_uring_sqe* entry = &sqes[tail++ & sq_mask];
    std::memset(entry, 0, sizeof *entry);
    return entry;
  }

  // Hands the kernel the entries written since `first` (up to `tail`) and
  // waits for their completions, storing each one's result at the index its
  // user data names (below `slots`). Returns false if the ring failed: then
  // only what the kernel had taken has completed, and the other results stay
  // kPending.
  bool run(unsigned first, unsigned tail, std::int64_t* results, std::size_t slots) {
    store_release(sq_tail, tail);
    const unsigned total = tail - first;
    unsigned reaped = 0;
    bool failed = false;
    for (;;) {
      unsigned head = *cq_head;
      const unsigned ready = load_acquire(cq_tail);
      for (; head != ready; ++head) {
        const io_uring_cqe& cqe = cqes[head & cq_mask];
        if (cqe.user_data < slots) results[cqe.user_data] = cqe.res;
        ++reaped;
      }
      store_release(cq_head, head);
      if (reaped == total) return !failed;

      const unsigned consumed = load_acquire(sq_head) - first;
      // After a failure, wait only for what the kernel already holds: it may
      // still be writing into the caller's buffers.
      if (failed && reaped >= consumed) return false;
      const unsigned to_submit = failed ? 0 : total - consumed;
      if (ring_enter(fd, to_submit, 1, IORING_ENTER_GETEVENTS) >= 0) continue;
      const int code = errno;
      if (code == EINTR) continue;
      // EAGAIN and EBUSY mean "later", which is only worth waiting for while
      // requests are under way; otherwise the ring is no use now.
      if ((code == EAGAIN || code == EBUSY) && reaped < consumed) continue;
      failed = true;
      // Take back what the kernel has not seen yet.
      tail = load_acquire(sq_head);
      store_release(sq_tail, tail);
    }
  }

  // Where one batch stands between its rounds, per request.
  struct Batch {
    std::int64_t opened[kMaxBatch];   // the descriptor, or -errno
    bool readable[kMaxBatch];         // opened, and a regular file
    std::int64_t checked[kMaxBatch];  // 0, or -errno of a failed fstat
    // By user data: the close (even) and the read (odd) of each request.
    std::int64_t done[2 * kMaxBatch];
  };

  // First round: open every path. The submission tail is ours alone; the
  // kernel only moves the head.
  bool open_all(std::span<const Request> requests, Batch& batch) {
    unsigned tail = *sq_tail;
    const unsigned first = tail;
    for (std::size_t index = 0; index < requests.size(); ++index) {
      io_uring_sqe* open = next_entry(tail);
      open->opcode = IORING_OP_OPENAT;
      open->fd = AT_FDCWD;
      open->addr = reinterpret_cast<std::uintptr_t>(requests[index].path);
      open->open_flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
      open->user_data = index;
    }
    std::fill_n(batch.opened, requests.size(), kPending);
    return run(first, tail, batch.opened, requests.size());
  }

  // Between the rounds, the check: a path may have been replaced by a FIFO
  // or a device since the caller looked at it, and reading one would take
  // its data from whoever it was meant for.
  static void check_opened(std::size_t count, Batch& batch) {
    for (std::size_t index = 0; index < count; ++index) {
      batch.readable[index] = false;
      batch.checked[index] = 0;
      if (batch.opened[index] < 0) continue;
      struct stat info;
      if (::fstat(static_cast<int>(batch.opened[index]), &info) != 0) {
        batch.checked[index] = -errno;
      } else {
        batch.readable[index] = S_ISREG(info.st_mode);
      }
    }
  }

  // Second round: read each regular file, and close every opened one, also
  // when its read fails.
  bool read_and_close(std::span<const Request> requests, Batch& batch) {
    unsigned tail = *sq_tail;
    const unsigned first = tail;
    for (std::size_t index = 0; index < requests.size(); ++index) {
      if (batch.opened[index] < 0) continue;
      const int fd = static_cast<int>(batch.opened[index]);
      if (batch.readable[index]) {
        io_uring_sqe* read = next_entry(tail);
        read->opcode = IORING_OP_READ;
        read->flags = IOSQE_IO_HARDLINK;
        read->fd = fd;
        read->addr = reinterpret_cast<std::uintptr_t>(requests[index].buffer);
        read->len = requests[index].capacity;
        read->off = 0;
        read->user_data = 2 * index + 1;
      }
      io_uring_sqe* close = next_entry(tail);
      close->opcode = IORING_OP_CLOSE;
      close->fd = fd;
      close->user_data = 2 * index;
    }
    return run(first, tail, batch.done, 2 * requests.size());
  }

  // What the kernel did not close, because the ring failed, is closed here.
  static void close_unclosed(std::size_t count, const Batch& batch) {
    for (std::size_t index = 0; index < count; ++index) {
      if (batch.opened[index] >= 0 && batch.done[2 * index] == kPending) {
        ::close(static_cast<int>(batch.opened[index]));
      }
    }
  }

  // Each request's outcome: the open's failure, else the check's, else the
  // read's.
  static void report(std::span<Request> requests, const Batch& batch) {
    for (std::size_t index = 0; index < requests.size(); ++index) {
      Request& request = requests[index];
      std::int64_t result = batch.opened[index];
      request.not_regular = result >= 0 && batch.checked[index] == 0 && !batch.readable[index];
      if (result >= 0 && !request.not_regular) {
        result = batch.checked[index] < 0 ? batch.checked[index] : batch.done[2 * index + 1];
      }
      request.ok = result >= 0 && !request.not_regular;
      request.bytes_read = request.ok ? static_cast<std::uint32_t>(result) : 0;
      request.system_code = result < 0 ? static_cast<std::int32_t>(-result) : 0;
    }
  }
};

ReadRing* ReadRing::for_this_thread() {
  struct Owned {
    std::unique_ptr<ReadRing> ring;
    bool unavailable = false;
  };
  thread_local Owned owned;
  if (owned.ring == nullptr && !owned.unavailable) {
    auto rings = std::make_unique<Rings>();
    if (rings->open()) {
      owned.ring.reset(new ReadRing(rings.release()));
    } else {
      // A full descriptor table or a memory shortage passes; a kernel without
      // rings, or a policy against them, does not.
      owned.unavailable = !short_of_resources(rings->failure);
    }
  }
  return owned.ring.get();
}

ReadRing::~ReadRing() {
  delete rings_;
}

bool ReadRing::read_batch(std::span<Request> requests) {
  const std::size_t count = requests.size();
  if (count == 0) return true;
  if (count > kMaxBatch) return false;
  Rings& ring = *rings_;
  Rings::Batch batch;
  bool ok = ring.open_all(requests, batch);
  Rings::check_opened(count, batch);
  std::fill_n(batch.done, 2 * count, kPending);
  if (ok) ok = ring.read_and_close(requests, batch);
  Rings::close_unclosed(count, batch);
  if (!ok) return false;
  Rings::report(requests, batch);
  return true;
}

}  // namespace tov::platform
