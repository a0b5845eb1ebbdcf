#include "platform/thread_exit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tov::platform {
namespace {

using namespace std::chrono_literals;

// What the destroyed objects looked like as they went, in order.
class Ledger {
 public:
  // Notifies under the lock: the waiter may destroy the ledger as soon as it
  // has seen the entry, while a detached thread is still here.
  void record(std::string entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
    cv_.notify_all();
  }

  // The entries once there are `count` of them, or as many as came in 10 s.
  std::vector<std::string> await(std::size_t count) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, 10s, [&] { return entries_.size() >= count; });
    return entries_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> entries_;
};

// Its text is written when it is made and read when it is destroyed: storage
// freed before the destructor runs shows up as a wrong text (or a crash).
struct Marked {
  Marked(Ledger& ledger, std::string text) : ledger(&ledger), text(std::move(text)) {}
  ~Marked() { ledger->record(text + (guard == kGuard ? "" : " (storage was gone)")); }

  static constexpr std::uint64_t kGuard = 0x7a3c'91e5'0b6d'f248;
  Ledger* ledger;
  std::string text;
  std::uint64_t guard = kGuard;
};

void register_marked(Ledger& ledger, const std::string& text) {
  at_thread_exit(new Marked(ledger, text),
                 [](void* marked) { delete static_cast<Marked*>(marked); });
}

TEST(ThreadExit, ObjectsGoWhenTheirThreadEndsLatestFirstAndIntact) {
  Ledger ledger;
  std::thread([&] {
    register_marked(ledger, "first of a joined thread");
    register_marked(ledger, "second of a joined thread");
  }).join();
  EXPECT_EQ(ledger.await(2),
            (std::vector<std::string>{"second of a joined thread", "first of a joined thread"}));

  // Detached threads end on their own, and many at once, so that memory
  // freed early is soon reused by another.
  Ledger detached;
  constexpr int kThreads = 32;
  for (int i = 0; i < kThreads; ++i) {
    std::thread([&detached, i] {
      register_marked(detached, "detached " + std::to_string(i));
      std::this_thread::sleep_for(1ms);
    }).detach();
  }
  const std::vector<std::string> entries = detached.await(kThreads);
  ASSERT_EQ(entries.size(), static_cast<std::size_t>(kThreads));
  for (const std::string& entry : entries) {
    EXPECT_EQ(entry.find("storage was gone"), std::string::npos) << entry;
  }
}

struct Counter {
  int uses = 0;
};

TEST(ThreadExit, PerThreadObjectsAreEachThreadsOwn) {
  // This thread's object lives as long as the test program's main thread.
  Counter& mine = per_thread<Counter>();
  const int uses = ++mine.uses;
  EXPECT_EQ(&per_thread<Counter>(), &mine);

  Counter* theirs = nullptr;
  int their_uses = -1;
  std::thread([&] {
    theirs = &per_thread<Counter>();
    their_uses = theirs->uses;
  }).join();
  EXPECT_NE(theirs, &mine);
  EXPECT_EQ(their_uses, 0);
  EXPECT_EQ(mine.uses, uses);
}

}  // namespace
}  // namespace tov::platform
