#include "hasher/stream_job.h"

#include <cstring>
#include <utility>

namespace tov::hasher {

bool StreamJob::push(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return false;
  Chunk chunk{std::make_unique_for_overwrite<std::uint8_t[]>(bytes.size()), bytes.size()};
  std::memcpy(chunk.bytes.get(), bytes.data(), bytes.size());
  std::lock_guard lock(mutex_);
  queue_.push_back(std::move(chunk));
  queued_ += bytes.size();
  return !std::exchange(draining_, true);
}

bool StreamJob::hash_here(std::span<const std::uint8_t> bytes) noexcept {
  {
    std::lock_guard lock(mutex_);
    if (draining_ || !queue_.empty()) return false;
    // The state is the drain's: claimed for as long as it is hashed here.
    draining_ = true;
  }
  state_.update(bytes);
  std::lock_guard lock(mutex_);
  draining_ = false;
  return true;
}

std::uint64_t StreamJob::queued() const {
  std::lock_guard lock(mutex_);
  return queued_;
}

void StreamJob::take_ready(std::vector<runtime::UniqueFunction<void()>>& ready) {
  for (std::size_t i = 0; i < waiters_.size();) {
    if (waiters_[i].limit >= queued_) {
      ready.push_back(std::move(waiters_[i].then));
      waiters_[i] = std::move(waiters_.back());
      waiters_.pop_back();
    } else {
      ++i;
    }
  }
}

void StreamJob::drain() noexcept {
  std::vector<runtime::UniqueFunction<void()>> ready;
  for (;;) {
    Chunk chunk;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty()) {
        draining_ = false;
        return;
      }
      chunk = std::move(queue_.front());
      queue_.pop_front();
    }
    state_.update(chunk.bytes.get(), chunk.size);
    chunk.bytes.reset();
    {
      std::lock_guard lock(mutex_);
      queued_ -= chunk.size;
      take_ready(ready);
    }
    // Outside the lock: a waiter may finish() the job.
    for (auto& then : ready) then();
    ready.clear();
  }
}

void StreamJob::when_queued_at_most(std::uint64_t limit, runtime::UniqueFunction<void()> then) {
  {
    std::lock_guard lock(mutex_);
    if (queued_ > limit) {
      waiters_.push_back({limit, std::move(then)});
      return;
    }
  }
  then();
}

hashing::Digest StreamJob::finish() {
  std::lock_guard lock(mutex_);
  return state_.finish();
}

}  // namespace tov::hasher
