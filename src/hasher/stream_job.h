// Hashing a stream behind the caller's back. The caller (the JavaScript
// thread) hands over chunks and goes back to reading the next one at once,
// while a background thread hashes the chunks in order: reading and hashing
// overlap instead of taking turns.
//
// Chunks are copied on arrival. The copy costs far less than hashing them,
// and it leaves the background thread with memory of its own: nothing the
// caller does afterwards (reusing a buffer, ending its environment) can
// reach what is being hashed.
//
// A large chunk that arrives while the job is idle is better hashed where it
// is (hash_here): the per-chunk cost that the hand-off hides is small beside
// it, while the copy, the fresh memory it lands in and the third busy thread
// cost more than they save on a machine whose cores are all taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "hasher/sha256.h"
#include "hashing/digest.h"
#include "runtime/unique_function.h"

namespace tov::hasher {

class StreamJob {
 public:
  // Queues a copy of `bytes`. True when no drain is running and the caller
  // must start one (drain() on some background thread).
  bool push(std::span<const std::uint8_t> bytes);

  // Hashes `bytes` on the calling thread, when nothing is queued or being
  // hashed; false, with nothing done, when chunks are ahead of it. Only the
  // thread that pushes may call it (a push meanwhile would start no drain).
  bool hash_here(std::span<const std::uint8_t> bytes) noexcept;

  // Bytes handed over and not yet hashed.
  std::uint64_t queued() const;

  // Hashes the queued chunks in order until none is left, running each
  // waiter whose condition is met on the way. Only one drain runs at a time
  // (push says when to start one).
  void drain() noexcept;

  // Runs `then` once at most `limit` bytes are queued: at once on the
  // calling thread when that holds already, else on the draining thread.
  // `then` must not call back into this job except for finish().
  void when_queued_at_most(std::uint64_t limit, runtime::UniqueFunction<void()> then);

  // The digest of everything handed over; only once nothing is queued (a
  // waiter of limit 0 may call it). Resets the job.
  hashing::Digest finish();

 private:
  struct Chunk {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t size;
  };
  struct Waiter {
    std::uint64_t limit;
    runtime::UniqueFunction<void()> then;
  };

  // Moves the waiters whose condition holds now into `ready`.
  void take_ready(std::vector<runtime::UniqueFunction<void()>>& ready);

  mutable std::mutex mutex_;
  std::deque<Chunk> queue_;      // guarded by mutex_
  std::uint64_t queued_ = 0;     // guarded: bytes queued or being hashed
  bool draining_ = false;        // guarded
  std::vector<Waiter> waiters_;  // guarded
  // Touched by the one running drain, or by finish() once nothing is queued.
  Sha256 state_;
};

}  // namespace tov::hasher
