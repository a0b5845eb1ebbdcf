#include "hasher/stream_job.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "hashing/digest.h"

namespace tov::hasher {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(HasherStreamJob, HashesChunksInOrderOnAnotherThreadAndAnswersWaiters) {
  Bytes data(3 << 20);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i ^ (i >> 9));
  StreamJob job;
  std::vector<std::thread> drains;
  std::atomic<int> below_half{0};
  Bytes reused(70000);
  for (std::size_t at = 0; at < data.size();) {
    const std::size_t size = std::min(reused.size() - at % 3, data.size() - at);
    std::copy_n(data.begin() + at, size, reused.begin());
    if (job.push({reused.data(), size})) drains.emplace_back([&job] { job.drain(); });
    // The copy is the job's: overwriting the caller's buffer changes nothing.
    std::fill(reused.begin(), reused.end(), 0xee);
    if (at % 10 == 0) job.when_queued_at_most(1 << 20, [&] { ++below_half; });
    at += size;
  }
  EXPECT_FALSE(job.push({}));

  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  hashing::Digest digest{};
  job.when_queued_at_most(0, [&] {
    const hashing::Digest d = job.finish();
    std::lock_guard lock(mutex);
    digest = d;
    done = true;
    cv.notify_all();
  });
  {
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return done; });
  }
  for (auto& t : drains) t.join();
  EXPECT_EQ(digest, hashing::sha256(data.data(), data.size()));
  EXPECT_EQ(job.queued(), 0u);
  EXPECT_GT(below_half.load(), 0);

  // An idle job answers at once, on the caller's thread, and starts over
  // after finish().
  bool at_once = false;
  job.when_queued_at_most(0, [&] { at_once = true; });
  EXPECT_TRUE(at_once);
  EXPECT_EQ(job.finish(), hashing::sha256(nullptr, 0));
}

TEST(HasherStreamJob, HashesHereOnlyWhenNothingIsAheadOfTheChunk) {
  Bytes data(5000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  const std::span<const std::uint8_t> all(data);
  StreamJob job;
  EXPECT_TRUE(job.hash_here(all.first(1000)));
  EXPECT_EQ(job.queued(), 0u);
  // A queued chunk not yet drained: the next one must wait its turn.
  EXPECT_TRUE(job.push(all.subspan(1000, 1000)));
  EXPECT_FALSE(job.hash_here(all.subspan(2000, 1000)));
  job.push(all.subspan(2000, 1000));
  job.drain();
  EXPECT_TRUE(job.hash_here(all.subspan(3000)));
  EXPECT_EQ(job.finish(), hashing::sha256(data.data(), data.size()));
}

}  // namespace
}  // namespace tov::hasher
