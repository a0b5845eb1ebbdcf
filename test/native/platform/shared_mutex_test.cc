#include "platform/shared_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

namespace tov::platform {
namespace {

// Each round uses a fresh lock that several threads first take at the same
// moment, some to write and some to read: the first use is where a lock that
// sets itself up lazily can end up as several locks.
TEST(SharedMutex, ExcludesFromItsFirstUseOnSeveralThreads) {
  constexpr int kRounds = 100;
  constexpr int kThreads = 3;
  constexpr int kWriter = 1000;  // what a writer adds to `inside`; a reader adds 1
  int overlaps = 0;
  for (int round = 0; round < kRounds; ++round) {
    auto mutex = std::make_unique<SharedMutex>();
    std::atomic<int> inside{0};
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::atomic<int> seen{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        ready.fetch_add(1);
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < 10; ++i) {
          if ((t + i) % 2 == 0) {
            std::unique_lock lock(*mutex);
            if (inside.fetch_add(kWriter) != 0) seen.fetch_add(1);
            std::this_thread::yield();
            inside.fetch_sub(kWriter);
          } else {
            std::shared_lock lock(*mutex);
            if (inside.fetch_add(1) >= kWriter) seen.fetch_add(1);
            inside.fetch_sub(1);
          }
        }
      });
    }
    while (ready.load() != kThreads) std::this_thread::yield();
    go.store(true);
    for (std::thread& thread : threads) thread.join();
    overlaps += seen.load();
  }
  EXPECT_EQ(overlaps, 0) << "a writer shared the lock with another holder";
}

TEST(SharedMutex, ReadersShareAndAWriterWaitsForThem) {
  SharedMutex mutex;
  std::shared_lock first(mutex);
  {
    std::shared_lock second(mutex, std::try_to_lock);
    EXPECT_TRUE(second.owns_lock());
  }
  std::unique_lock writer(mutex, std::defer_lock);
  EXPECT_FALSE(writer.try_lock());
  first.unlock();
  EXPECT_TRUE(writer.try_lock());
  std::shared_lock reader(mutex, std::defer_lock);
  EXPECT_FALSE(reader.try_lock());
}

}  // namespace
}  // namespace tov::platform
