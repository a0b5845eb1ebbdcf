#include "runtime/runtime_slot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "runtime/runtime.h"

namespace tov::runtime {
namespace {

// Environments on several JavaScript threads register and end over and over,
// so that one often ends (taking the count to 0) just as another registers.
// The registering one must find a runtime that stays: a release that has
// brought the count to 0 may not shut down a runtime that an environment
// registered since has counted itself into.
TEST(RuntimeSlot, EnvironmentsComingAndGoingAlwaysKeepARuntime) {
  constexpr int kThreads = 3;
  constexpr int kRounds = 400;
  std::atomic<bool> go{false};
  std::atomic<int> entered{0};
  auto environment_lives = [&] {
    while (!go.load()) std::this_thread::yield();
    for (int round = 0; round < kRounds; ++round) {
      acquire_runtime();
      {
        // Aborts the process when the slot is empty.
        RuntimeContext context;
        EXPECT_EQ(runtime::current(), &context.runtime());
        EXPECT_FALSE(context.runtime().is_shut_down());
        EXPECT_TRUE(spawn_guarded([] {}, [](std::string_view) {}));
        entered.fetch_add(1);
      }
      release_runtime();
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(environment_lives);
  go.store(true);
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(entered.load(), kThreads * kRounds);
  EXPECT_EQ(environment_count(), 0u);
  EXPECT_EQ(runtime::current(), nullptr);
}

// The last environment's end empties the slot and a new one builds a fresh
// runtime.
TEST(RuntimeSlot, LastReleaseShutsDownAndNextAcquireRebuilds) {
  acquire_runtime();
  runtime::Runtime* first = nullptr;
  {
    RuntimeContext context;
    first = &context.runtime();
  }
  acquire_runtime();
  release_runtime();
  {
    RuntimeContext context;
    EXPECT_EQ(&context.runtime(), first);  // one environment left: same runtime
  }
  release_runtime();
  EXPECT_EQ(environment_count(), 0u);

  acquire_runtime();
  {
    RuntimeContext context;
    EXPECT_FALSE(context.runtime().is_shut_down());
  }
  release_runtime();
}

}  // namespace
}  // namespace tov::runtime
