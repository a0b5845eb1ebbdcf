#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <pthread.h>
#endif

#include "runtime/pool.h"
#include "runtime/runtime_config.h"

namespace tov::runtime {
namespace {

TEST(PoolWorkerCount, RayonNumThreadsDecides) {
  EXPECT_EQ(pool_threads_from("4", std::nullopt, 8), 4u);
  EXPECT_EQ(pool_threads_from("+4", "3", 8), 4u);
  EXPECT_EQ(pool_threads_from("007", std::nullopt, 8), 7u);
  // Zero is a valid setting meaning one per processor: no fall-through.
  EXPECT_EQ(pool_threads_from("0", "3", 6), 6u);
  EXPECT_EQ(pool_threads_from("+0", std::nullopt, 6), 6u);
  EXPECT_EQ(pool_threads_from("0", std::nullopt, 0), 1u);
}

TEST(PoolWorkerCount, NonNumbersFallThrough) {
  for (const char* junk : {"abc", "", "+", "++4", "-1", " 4", "4 ", "4x", "0x10", "1.5",
                           "99999999999999999999999999"}) {
    EXPECT_EQ(pool_threads_from(junk, "3", 8), 3u) << '"' << junk << '"';
    EXPECT_EQ(pool_threads_from(junk, std::nullopt, 8), 8u) << '"' << junk << '"';
  }
  EXPECT_EQ(pool_threads_from(std::nullopt, "+2", 8), 2u);
  EXPECT_EQ(pool_threads_from(std::nullopt, "0", 5), 5u);
  EXPECT_EQ(pool_threads_from(std::nullopt, "abc", 5), 5u);
  EXPECT_EQ(pool_threads_from(std::nullopt, std::nullopt, 0), 1u);
}

TEST(PoolWorkerCount, CountsPastAnyMachineAreCapped) {
  // 2^32 and more once made the pool reserve room for that many threads;
  // 99999 started threads until the system had none left for anyone else.
  EXPECT_EQ(pool_threads_from("4294967296", std::nullopt, 8), 512u);
  EXPECT_EQ(pool_threads_from("18446744073709551615", std::nullopt, 8), 512u);
  EXPECT_EQ(pool_threads_from("99999", "3", 8), 512u);
  EXPECT_EQ(pool_threads_from(std::nullopt, "4294967296", 8), 512u);
  EXPECT_EQ(pool_threads_from("99999", std::nullopt, 2048), 2048u);
  EXPECT_EQ(pool_threads_from("512", std::nullopt, 2), 512u);
}

TEST(Pool, EveryIndexRunsExactlyOnce) {
  WorkerPool pool(4);
  ASSERT_EQ(pool.worker_count(), 4u);
  for (const std::size_t n :
       {std::size_t{2}, std::size_t{3}, std::size_t{5}, std::size_t{100}, std::size_t{20000}}) {
    std::vector<std::atomic<int>> runs(n);
    std::vector<std::size_t> squares(n, 0);
    pool.for_each_index(n, [&](std::size_t i) {
      runs[i].fetch_add(1);
      squares[i] = i * i;
    });
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(runs[i].load(), 1) << "n=" << n << " i=" << i;
      ASSERT_EQ(squares[i], i * i);
    }
  }
}

TEST(Pool, WhichThreadsRunTheItems) {
  WorkerPool pool(2);
  std::mutex mutex;
  std::set<std::string> names;
  std::set<std::thread::id> threads;
  pool.for_each_index(0, [&](std::size_t) { threads.insert(std::this_thread::get_id()); });
  EXPECT_TRUE(threads.empty());
  // A single item runs where it was asked for.
  pool.for_each_index(1, [&](std::size_t) { threads.insert(std::this_thread::get_id()); });
  EXPECT_EQ(threads, std::set{std::this_thread::get_id()});
  // More items run on the named workers only; the caller just waits.
  threads.clear();
  pool.for_each_index(200, [&](std::size_t) {
    char name[32] = {0};
#if defined(__linux__)
    pthread_getname_np(pthread_self(), name, sizeof(name));
#endif
    std::lock_guard lock(mutex);
    threads.insert(std::this_thread::get_id());
    names.insert(name);
  });
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
  EXPECT_LE(threads.size(), 2u);
#if defined(__linux__)
  for (const auto& name : names) EXPECT_TRUE(name == "tov-pool-0" || name == "tov-pool-1") << name;
#endif
}

TEST(Pool, SlowItemDoesNotHoldBackTheRest) {
  WorkerPool pool(3);
  constexpr std::size_t n = 64;
  std::atomic<std::size_t> others_done{0};
  bool others_finished_while_first_ran = false;
  pool.for_each_index(n, [&](std::size_t i) {
    if (i == 0) {
      // Index 0 is claimed first; everything else must get done meanwhile.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (others_done.load() < n - 1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      others_finished_while_first_ran = others_done.load() == n - 1;
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      others_done.fetch_add(1);
    }
  });
  EXPECT_TRUE(others_finished_while_first_ran);
}

TEST(Pool, ConcurrentLoopsShareTheWorkers) {
  WorkerPool pool(2);
  constexpr int kCallers = 4;
  constexpr std::size_t n = 3000;
  std::vector<std::thread> callers;
  std::vector<std::size_t> wrong(kCallers, 0);
  for (int c = 0; c < kCallers; ++c) {
    callers.emplace_back([&, c] {
      for (int round = 0; round < 5; ++round) {
        std::vector<std::size_t> out(n, 0);
        pool.for_each_index(n, [&](std::size_t i) { out[i] = i + static_cast<std::size_t>(c); });
        for (std::size_t i = 0; i < n; ++i) wrong[c] += out[i] != i + static_cast<std::size_t>(c);
      }
    });
  }
  for (auto& caller : callers) caller.join();
  for (int c = 0; c < kCallers; ++c) EXPECT_EQ(wrong[c], 0u) << c;
}

TEST(Pool, ThrowingItemIsRethrownAndThePoolSurvives) {
  WorkerPool pool(2);
  std::atomic<int> ran{0};
  EXPECT_THROW(pool.for_each_index(1000,
                                   [&](std::size_t i) {
                                     ran.fetch_add(1);
                                     if (i == 3) throw std::runtime_error("item 3");
                                     // A millisecond: Windows rounds shorter sleeps to none.
                                     std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                   }),
               std::runtime_error);
  // Items after the failure are not started (a few were already running).
  EXPECT_LT(ran.load(), 1000);

  std::atomic<std::size_t> sum{0};
  pool.for_each_index(100, [&](std::size_t i) { sum.fetch_add(i); });
  EXPECT_EQ(sum.load(), 4950u);
  EXPECT_EQ(pool.worker_count(), 2u);
}

TEST(Pool, NestedLoopsOnABusyPoolComplete) {
  WorkerPool pool(2);
  std::atomic<std::size_t> inner_runs{0};
  // Every worker blocks in an inner loop; only the callers joining in can
  // finish them.
  pool.for_each_index(4, [&](std::size_t) {
    pool.for_each_index(50, [&](std::size_t) { inner_runs.fetch_add(1); });
  });
  EXPECT_EQ(inner_runs.load(), 200u);
}

TEST(Pool, WithoutWorkersTheCallerRunsEverything) {
  // Also what happens when the system gives the pool no threads at all.
  WorkerPool pool(0);
  EXPECT_EQ(pool.worker_count(), 0u);
  std::vector<int> order;
  pool.for_each_index(5, [&](std::size_t i) { order.push_back(static_cast<int>(i)); });
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

}  // namespace
}  // namespace tov::runtime
