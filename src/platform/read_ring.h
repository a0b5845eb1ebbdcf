// Reading many small files with few system calls. On Linux this is the
// kernel's submission ring (io_uring): one call opens and reads a whole batch,
// where reading file by file takes three or more calls per file, and on
// virtual machines each call costs about a microsecond. Elsewhere, or where
// the kernel is too old or refuses the ring (a seccomp policy, the
// io_uring_disabled setting), no ring is available and callers read file by
// file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tov::platform {

class ReadRing {
 public:
  // The most requests one batch may hold.
  static constexpr std::size_t kMaxBatch = 64;

  struct Request {
    const char* path = nullptr;  // NUL-terminated
    void* buffer = nullptr;
    std::uint32_t capacity = 0;
    // Set by read_batch: whether the open and the read both succeeded, the
    // bytes read if so, and otherwise the system's code for the failure (as
    // in platform::os_error), or, with a code of 0, `not_regular`: what was
    // opened is not a regular file, and nothing was read from it.
    bool ok = false;
    bool not_regular = false;
    std::uint32_t bytes_read = 0;
    std::int32_t system_code = 0;
  };

  // The calling thread's ring, set up on its first use and torn down when the
  // thread ends; nullptr when the system offers none. A set-up that failed
  // for want of descriptors or memory is tried again on a later call. A ring
  // serves only the thread that owns it.
  static ReadRing* for_this_thread();

  // For each request: opens the path read-only and non-blocking (so a FIFO or
  // device that took the place of a file cannot make it wait), checks that
  // what was opened is a regular file, reads up to `capacity` bytes from the
  // start with one read, and closes it again. Anything else that was opened
  // is closed unread, whatever it was when the caller last looked at the
  // path. At most kMaxBatch requests. A read that would have to wait for the
  // disk may fail instead. Returns false if the ring failed as a whole: the
  // results are then meaningless, and the files should be read another way.
  // Returns only when the kernel is done with every buffer and every file is
  // closed.
  [[nodiscard]] bool read_batch(std::span<Request> requests);

  ~ReadRing();
  ReadRing(const ReadRing&) = delete;
  ReadRing& operator=(const ReadRing&) = delete;

 private:
  struct Rings;
  explicit ReadRing(Rings* rings) : rings_(rings) {}

  Rings* rings_;
};

}  // namespace tov::platform
