#include "platform/read_ring.h"

// Built only where the kernel headers know linked files (see CMake): linked
// requests on a descriptor that an earlier request of the same chain opens
// need that kernel feature (Linux 5.17).
#include <fcntl.h>
#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <memory>

namespace tov::platform {

namespace {

// Two entries per request: the open and the read linked to it.
constexpr unsigned kEntries = 2 * ReadRing::kMaxBatch;

// A descriptor of -1 for every file slot: registers them empty, and empties
// them again after each batch.
constexpr std::array<int, ReadRing::kMaxBatch> kEmptySlots = [] {
  std::array<int, ReadRing::kMaxBatch> slots{};
  slots.fill(-1);
  return slots;
}();

int ring_setup(unsigned entries, io_uring_params* params) {
  return static_cast<int>(::syscall(__NR_io_uring_setup, entries, params));
}

int ring_enter(int fd, unsigned to_submit, unsigned min_complete, unsigned flags) {
  return static_cast<int>(
      ::syscall(__NR_io_uring_enter, fd, to_submit, min_complete, flags, nullptr, 0));
}

int ring_register(int fd, unsigned opcode, const void* arg, unsigned count) {
  return static_cast<int>(::syscall(__NR_io_uring_register, fd, opcode, arg, count));
}

// The ring indexes are shared with the kernel, which reads and writes them
// concurrently.
unsigned load_acquire(unsigned* shared) {
  return std::atomic_ref<unsigned>(*shared).load(std::memory_order_acquire);
}

void store_release(unsigned* shared, unsigned value) {
  std::atomic_ref<unsigned>(*shared).store(value, std::memory_order_release);
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

  bool open() {
    io_uring_params params;
    std::memset(&params, 0, sizeof params);
    fd = ring_setup(kEntries, &params);
    if (fd < 0) return false;
    if ((params.features & IORING_FEAT_LINKED_FILE) == 0 || params.sq_entries < kEntries ||
        params.cq_entries < kEntries) {
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

    // Opened files go into the ring's own table of slots instead of the
    // process's descriptor table: the read can then be linked to the open,
    // and no other thread ever sees the descriptors.
    return ring_register(fd, IORING_REGISTER_FILES, kEmptySlots.data(), kMaxBatch) == 0;
  }

  // Empties the first `count` file slots, closing what they hold.
  void clear_slots(std::size_t count) {
    io_uring_files_update update;
    std::memset(&update, 0, sizeof update);
    update.offset = 0;
    update.fds = reinterpret_cast<std::uintptr_t>(kEmptySlots.data());
    // On failure the files stay open until the slots are reused or the ring
    // is closed; nothing reads them.
    (void)ring_register(fd, IORING_REGISTER_FILES_UPDATE, &update, static_cast<unsigned>(count));
  }
};

ReadRing* ReadRing::for_this_thread() {
  thread_local const std::unique_ptr<ReadRing> ring = []() -> std::unique_ptr<ReadRing> {
    auto rings = std::make_unique<Rings>();
    if (!rings->open()) return nullptr;
    return std::unique_ptr<ReadRing>(new ReadRing(rings.release()));
  }();
  return ring.get();
}

ReadRing::~ReadRing() {
  delete rings_;
}

bool ReadRing::read_batch(std::span<Request> requests) {
  const std::size_t count = requests.size();
  if (count == 0) return true;
  if (count > kMaxBatch) return false;
  Rings& ring = *rings_;

  // The submission tail is ours alone; the kernel only moves the head.
  unsigned tail = *ring.sq_tail;
  for (std::size_t slot = 0; slot < count; ++slot) {
    const Request& request = requests[slot];
    io_uring_sqe* open = &ring.sqes[tail++ & ring.sq_mask];
    std::memset(open, 0, sizeof *open);
    open->opcode = IORING_OP_OPENAT;
    open->flags = IOSQE_IO_LINK;
    open->fd = AT_FDCWD;
    open->addr = reinterpret_cast<std::uintptr_t>(request.path);
    open->open_flags = O_RDONLY | O_NONBLOCK;
    open->file_index = static_cast<std::uint32_t>(slot + 1);
    open->user_data = slot << 1;

    io_uring_sqe* read = &ring.sqes[tail++ & ring.sq_mask];
    std::memset(read, 0, sizeof *read);
    read->opcode = IORING_OP_READ;
    read->flags = IOSQE_FIXED_FILE;
    read->fd = static_cast<std::int32_t>(slot);
    read->addr = reinterpret_cast<std::uintptr_t>(request.buffer);
    read->len = request.capacity;
    read->off = 0;
    read->user_data = (slot << 1) | 1;
  }
  store_release(ring.sq_tail, tail);

  std::int64_t open_result[kMaxBatch];
  std::int64_t read_result[kMaxBatch];
  const unsigned total = static_cast<unsigned>(2 * count);
  const unsigned first = tail - total;
  unsigned reaped = 0;
  bool failed = false;
  for (;;) {
    unsigned head = *ring.cq_head;
    const unsigned ready = load_acquire(ring.cq_tail);
    for (; head != ready; ++head) {
      const io_uring_cqe& cqe = ring.cqes[head & ring.cq_mask];
      const std::size_t slot = static_cast<std::size_t>(cqe.user_data >> 1);
      if (slot < count) (cqe.user_data & 1 ? read_result : open_result)[slot] = cqe.res;
      ++reaped;
    }
    store_release(ring.cq_head, head);
    if (reaped == total) break;

    const unsigned consumed = load_acquire(ring.sq_head) - first;
    // After a failure, wait only for what the kernel already holds: it may
    // still be writing into the caller's buffers.
    if (failed && reaped >= consumed) break;
    const unsigned to_submit = failed ? 0 : total - consumed;
    if (ring_enter(ring.fd, to_submit, 1, IORING_ENTER_GETEVENTS) >= 0) continue;
    const int code = errno;
    if (code == EINTR) continue;
    // EAGAIN and EBUSY mean "later", which is only worth waiting for while
    // requests are under way; otherwise the ring is no use now.
    if ((code == EAGAIN || code == EBUSY) && reaped < consumed) continue;
    failed = true;
    // Take back what the kernel has not seen yet.
    tail = load_acquire(ring.sq_head);
    store_release(ring.sq_tail, tail);
  }
  ring.clear_slots(count);
  if (failed) return false;

  for (std::size_t slot = 0; slot < count; ++slot) {
    Request& request = requests[slot];
    const std::int64_t result = open_result[slot] < 0 ? open_result[slot] : read_result[slot];
    request.ok = result >= 0;
    request.bytes_read = result >= 0 ? static_cast<std::uint32_t>(result) : 0;
    request.system_code = result >= 0 ? 0 : static_cast<std::int32_t>(-result);
  }
  return true;
}

}  // namespace tov::platform
