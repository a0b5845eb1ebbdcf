#include "runtime/runtime.h"

#include <gtest/gtest.h>
#if defined(_WIN32)
#include <windows.h>
// windows.h first: tlhelp32.h relies on its types.
#include <tlhelp32.h>
#else
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>
#endif
#include <stdlib.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/thread_exit.h"

namespace tov::runtime {
namespace {

using namespace std::chrono_literals;

// Generous: waits end as soon as their condition holds; this only bounds how
// long a broken runtime can hang the suite.
constexpr auto kPatience = 10s;

class Countdown {
 public:
  explicit Countdown(int count) : count_(count) {}

  void count_down() {
    std::lock_guard lock(mutex_);
    if (count_ > 0 && --count_ == 0) cv_.notify_all();
  }

  // True once the count reached zero; false if it did not within kPatience.
  [[nodiscard]] bool wait() {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kPatience, [&] { return count_ == 0; });
  }

  bool done() {
    std::lock_guard lock(mutex_);
    return count_ == 0;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int count_;
};

// Counts down when the live copy is destroyed; moved-from copies are inert.
class DropProbe {
 public:
  explicit DropProbe(Countdown& destroyed) : destroyed_(&destroyed) {}
  DropProbe(DropProbe&& other) noexcept : destroyed_(std::exchange(other.destroyed_, nullptr)) {}
  DropProbe& operator=(DropProbe&&) = delete;
  ~DropProbe() {
    if (destroyed_ != nullptr) destroyed_->count_down();
  }

 private:
  Countdown* destroyed_;
};

// Holds whoever waits until opened, with no time limit: for jobs that stand
// for a read that never ends on its own. A test that opens it on every path
// out still ends when what it checks is broken.
class Gate {
 public:
  void open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }

  void wait() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Counts down when the thread that armed it exits.
struct ThreadExitProbe {
  static void arm(Countdown& exited) {
    platform::at_thread_exit(
        &exited, [](void* countdown) { static_cast<Countdown*>(countdown)->count_down(); });
  }
};

// For states that only time brings about (a thread going idle or retiring):
// polls until `condition` holds, for at most kPatience.
template <class Condition>
bool eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

#if defined(_WIN32)
std::string thread_description(HANDLE thread) {
  // Looked up: older MinGW headers do not declare it.
  using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);
  static const auto get_description = reinterpret_cast<GetDescription>(reinterpret_cast<void (*)()>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
  PWSTR wide = nullptr;
  if (get_description == nullptr || FAILED(get_description(thread, &wide))) return {};
  std::string name;
  for (const wchar_t* unit = wide; *unit != L'\0'; ++unit) name += static_cast<char>(*unit);
  ::LocalFree(wide);
  return name;
}

std::string current_thread_name() {
  return thread_description(::GetCurrentThread());
}

int threads_named(std::string_view name) {
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  int count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Thread32First(snapshot, &entry); more;
       more = ::Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != ::GetCurrentProcessId()) continue;
    const HANDLE thread = ::OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
    if (thread == nullptr) continue;
    if (thread_description(thread) == name) ++count;
    ::CloseHandle(thread);
  }
  ::CloseHandle(snapshot);
  return count;
}
#else
std::string current_thread_name() {
  char name[32] = {};
  pthread_getname_np(pthread_self(), name, sizeof(name));
  return name;
}

int threads_named(std::string_view name) {
  int count = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
    std::ifstream comm(entry.path() / "comm");
    std::string line;
    if (std::getline(comm, line) && line == name) ++count;
  }
  return count;
}
#endif

// --- Runtime: threads, spawn, context ------------------------------------

TEST(RuntimeThreads, StartsEveryWorkerNamedAndJoinsThemAtShutdown) {
  // A thread that an earlier test joined can stay listed for a moment while
  // the kernel finishes its exit (long enough to see under the sanitizers),
  // so the counts are awaited rather than read once.
  (void)eventually([] { return threads_named("tov-worker") == 0; });
  const int before = threads_named("tov-worker");
  {
    Runtime runtime(3);
    EXPECT_EQ(runtime.worker_count(), 3u);
    EXPECT_TRUE(eventually([&] { return threads_named("tov-worker") == before + 3; }));
    EXPECT_EQ(runtime.blocking_threads(), 0u) << "blocking threads start on demand";
    runtime.shutdown();
    EXPECT_TRUE(runtime.is_shut_down());
    EXPECT_TRUE(eventually([&] { return threads_named("tov-worker") == before; }));
  }
  Runtime at_least_one(0);
  EXPECT_EQ(at_least_one.worker_count(), 1u);
}

TEST(RuntimeThreads, FactoryBuildsARuntime) {
  base::Result<std::unique_ptr<Runtime>> built = Runtime::create(2);
  ASSERT_TRUE(built.ok()) << built.error().description();
  ASSERT_NE(*built, nullptr);
  EXPECT_EQ((*built)->worker_count(), 2u);
}

TEST(RuntimeSpawn, RunsEveryTaskFromManyThreadsOnWorkers) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 2500;
  Runtime runtime(3);
  Countdown finished(kProducers * kPerProducer * 2);
  std::atomic<int> off_worker{0};
  std::atomic<int> wrong_context{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&] {
      for (int i = 0; i < kPerProducer; ++i) {
        // Each task spawns a second one from inside the runtime.
        EXPECT_TRUE(runtime.spawn([&] {
          if (current_thread_name() != "tov-worker") off_worker.fetch_add(1);
          if (current() != &runtime) wrong_context.fetch_add(1);
          finished.count_down();
          current()->spawn([&] { finished.count_down(); });
        }));
      }
    });
  }
  for (std::thread& producer : producers) producer.join();
  ASSERT_TRUE(finished.wait());
  EXPECT_EQ(off_worker.load(), 0);
  EXPECT_EQ(wrong_context.load(), 0);
}

TEST(RuntimeSpawn, EmptyTasksAreRefused) {
  Runtime runtime(1);
  EXPECT_FALSE(runtime.spawn(nullptr));
  EXPECT_FALSE(runtime.spawn_blocking(nullptr));
  EXPECT_FALSE(runtime.spawn_guarded(nullptr, [](std::string_view) {}));
}

TEST(RuntimeContext, GuardsNestAndRestore) {
  Runtime first(1);
  Runtime second(1);
  EXPECT_EQ(current(), nullptr);
  {
    ContextGuard outer(first);
    EXPECT_EQ(current(), &first);
    {
      ContextGuard inner(second);
      EXPECT_EQ(current(), &second);
      {
        ContextGuard again(first);
        EXPECT_EQ(current(), &first);
      }
      EXPECT_EQ(current(), &second);
    }
    EXPECT_EQ(current(), &first);
  }
  EXPECT_EQ(current(), nullptr);

  // Runtime threads are in their own runtime's context.
  Countdown done(2);
  Runtime* seen_on_worker = nullptr;
  Runtime* seen_on_blocking = nullptr;
  second.spawn([&] {
    seen_on_worker = current();
    done.count_down();
  });
  second.spawn_blocking([&] {
    seen_on_blocking = current();
    done.count_down();
  });
  ASSERT_TRUE(done.wait());
  EXPECT_EQ(seen_on_worker, &second);
  EXPECT_EQ(seen_on_blocking, &second);
}

// --- Blocking pool ---------------------------------------------------------

TEST(RuntimeBlocking, AwaitingAJobLeavesTheWorkerFree) {
  Runtime runtime(1);
  Countdown release_job(1);
  Countdown finished(1);
  std::string job_thread;
  std::string then_thread;
  int value = 0;
  runtime.spawn([&] {
    runtime.run_blocking(
        [&] {
          job_thread = current_thread_name();
          // Released by a task that needs the only worker.
          return release_job.wait() ? 7 : -1;
        },
        [&](Outcome<int> outcome) {
          then_thread = current_thread_name();
          value = outcome.ok() ? outcome.value() : -2;
          finished.count_down();
        });
  });
  runtime.spawn([&] { release_job.count_down(); });
  ASSERT_TRUE(finished.wait());
  EXPECT_EQ(value, 7);
  EXPECT_EQ(job_thread, "tov-blocking");
  EXPECT_EQ(then_thread, "tov-worker");
}

TEST(RuntimeBlocking, AJobThatThrowsDoesNotComplete) {
  Runtime runtime(2);
  Countdown finished(5);
  std::optional<bool> thrown_completed;
  std::string thrown_error;
  std::optional<bool> void_completed;
  std::string moved_value;
  std::string passed_error;
  std::optional<int> passed_value;
  runtime.run_blocking([]() -> int { throw std::runtime_error("read failed"); },
                       [&](Outcome<int> outcome) {
                         thrown_completed = outcome.ok();
                         if (!outcome) thrown_error = outcome.error().description();
                         finished.count_down();
                       });
  // A job that returns a Result hands it on as it is, error or value.
  runtime.run_blocking([] { return base::Result<int>(platform::os_error(2)); },
                       [&](base::Result<int> outcome) {
                         if (!outcome) passed_error = outcome.error().description();
                         finished.count_down();
                       });
  runtime.run_blocking([] { return base::Result<int>(7); },
                       [&](base::Result<int> outcome) {
                         if (outcome) passed_value = *outcome;
                         finished.count_down();
                       });
  runtime.run_blocking([] {},
                       [&](Outcome<void> outcome) {
                         void_completed = outcome.ok();
                         finished.count_down();
                       });
  runtime.run_blocking([] { return std::make_unique<std::string>("payload"); },
                       [&](Outcome<std::unique_ptr<std::string>> outcome) {
                         moved_value = *std::move(outcome).value();
                         finished.count_down();
                       });
  ASSERT_TRUE(finished.wait());
  EXPECT_EQ(thrown_completed, false);
  EXPECT_EQ(thrown_error, "background task failed");
  EXPECT_EQ(void_completed, true);
  EXPECT_EQ(moved_value, "payload");
  EXPECT_EQ(passed_error, platform::os_error_description(2));  // the system's own text
  EXPECT_EQ(passed_value, 7);
}

TEST(RuntimeBlocking, RunsNoMoreJobsAtOnceThanTheCap) {
  constexpr int kCap = 4;
  constexpr int kJobs = 20;
  Runtime runtime(1, kCap);
  std::mutex mutex;
  std::condition_variable cv;
  int arrived = 0;
  bool open = false;
  Countdown finished(kJobs);
  // Every job holds on until the gate opens, so whatever the pool lets run
  // at once is running when the test looks.
  for (int i = 0; i < kJobs; ++i) {
    ASSERT_TRUE(runtime.spawn_blocking([&] {
      std::unique_lock lock(mutex);
      ++arrived;
      cv.notify_all();
      cv.wait_for(lock, kPatience, [&] { return open; });
      lock.unlock();
      finished.count_down();
    }));
  }
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, kPatience, [&] { return arrived >= kCap; }));
    // Threads are started by spawn_blocking itself, so an uncapped pool
    // would already show more than kCap here.
    EXPECT_EQ(runtime.blocking_threads(), static_cast<std::size_t>(kCap));
    EXPECT_EQ(arrived, kCap);
    open = true;
  }
  cv.notify_all();
  ASSERT_TRUE(finished.wait());
  EXPECT_EQ(runtime.peak_blocking_jobs(), static_cast<std::size_t>(kCap));
  EXPECT_LE(runtime.blocking_threads(), static_cast<std::size_t>(kCap));
}

TEST(RuntimeBlocking, ReusesIdleThreadsAndGrowsWhenAllAreBusy) {
  Runtime runtime(1, 8);
  Countdown first(1);
  runtime.spawn_blocking([&] { first.count_down(); });
  ASSERT_TRUE(first.wait());
  ASSERT_TRUE(eventually([&] { return runtime.idle_blocking_threads() == 1; }));

  // The first job takes the idle thread and waits for the second, which
  // therefore needs a thread of its own.
  Countdown released(1);
  Countdown finished(2);
  runtime.spawn_blocking([&] {
    if (released.wait()) finished.count_down();
  });
  runtime.spawn_blocking([&] {
    released.count_down();
    finished.count_down();
  });
  ASSERT_TRUE(finished.wait());
  EXPECT_EQ(runtime.blocking_threads(), 2u);
  EXPECT_EQ(runtime.peak_blocking_jobs(), 2u);
  // Both go back to waiting; the pool's books must balance again.
  EXPECT_TRUE(eventually([&] { return runtime.idle_blocking_threads() == 2; }));
}

struct FaultRecord {
  std::mutex mutex;
  std::vector<std::string> texts;
  void add(std::string_view text) {
    std::lock_guard lock(mutex);
    texts.emplace_back(text);
  }
  std::vector<std::string> get() {
    std::lock_guard lock(mutex);
    return texts;
  }
};

// Runs a guarded task to its end and returns the fault texts reported for
// it. The fault handler's destruction marks the end: it dies with the task.
template <class Body>
std::vector<std::string> faults_of(Runtime& runtime, Body body) {
  auto record = std::make_shared<FaultRecord>();
  Countdown handler_gone(1);
  EXPECT_TRUE(runtime.spawn_guarded(
      std::move(body),
      [record, probe = DropProbe(handler_gone)](std::string_view text) { record->add(text); }));
  EXPECT_TRUE(handler_gone.wait());
  return record->get();
}

using Texts = std::vector<std::string>;

TEST(RuntimeFaults, FixedTextsPassThroughEverythingElseIsAPanic) {
  Runtime runtime(2);
  EXPECT_EQ(faults_of(runtime, [] {}), Texts{});
  EXPECT_EQ(faults_of(runtime, [] { throw Fault("disk on fire"); }), Texts{"disk on fire"});
  EXPECT_EQ(faults_of(runtime, [] { throw std::runtime_error("composed " + std::to_string(42)); }),
            Texts{"Panic in async function"});
  EXPECT_EQ(faults_of(runtime, [] { throw 42; }), Texts{"Panic in async function"});
  EXPECT_EQ(faults_of(runtime, [] { throw std::bad_alloc(); }), Texts{"out of memory"});
}

TEST(RuntimeFaults, ContinuationsBelongToTheirTask) {
  Runtime runtime(2);
  std::atomic<int> steps{0};
  // A fault two awaits deep still reaches the task's handler.
  EXPECT_EQ(faults_of(runtime,
                      [&] {
                        current()->run_blocking([] { return 1; },
                                                [&](Outcome<int>) {
                                                  ++steps;
                                                  current()->run_blocking(
                                                      [] {},
                                                      [&](Outcome<void>) {
                                                        ++steps;
                                                        throw Fault("late failure");
                                                      });
                                                });
                      }),
            Texts{"late failure"});
  EXPECT_EQ(steps.load(), 2);

  // A job that throws is no fault of the task: its continuation decides.
  EXPECT_EQ(faults_of(runtime,
                      [&] {
                        current()->run_blocking([]() -> int { throw Fault("ignored"); },
                                                [](Outcome<int> outcome) {
                                                  if (!outcome.ok()) return;
                                                  throw Fault("should not happen");
                                                });
                      }),
            Texts{});
}

TEST(RuntimeFaults, AStepThatFaultsAfterAwaitingDropsItsContinuation) {
  Runtime runtime(2);
  Countdown job_gone(1);
  Countdown then_gone(1);
  std::atomic<bool> job_ran{false};
  std::atomic<bool> then_ran{false};
  EXPECT_EQ(faults_of(runtime,
                      [&] {
                        current()->run_blocking(
                            [&, probe = DropProbe(job_gone)] { job_ran = true; },
                            [&, probe = DropProbe(then_gone)](Outcome<void>) { then_ran = true; });
                        throw Fault("gave up");
                      }),
            Texts{"gave up"});
  ASSERT_TRUE(job_gone.wait());
  ASSERT_TRUE(then_gone.wait());
  EXPECT_FALSE(job_ran);
  EXPECT_FALSE(then_ran);
}

TEST(RuntimeFaults, AfterAFaultPendingContinuationsAreDropped) {
  // One worker: the faulting continuation has reported before any other
  // task can start.
  Runtime runtime(1);
  Countdown released(1);
  Countdown second_gone(1);
  std::atomic<bool> second_ran{false};
  EXPECT_EQ(faults_of(runtime,
                      [&] {
                        current()->run_blocking([] {},
                                                [&](Outcome<void>) {
                                                  released.count_down();
                                                  throw Fault("first branch failed");
                                                });
                        current()->run_blocking([&] { (void)released.wait(); },
                                                [&, probe = DropProbe(second_gone)](Outcome<void>) {
                                                  second_ran = true;
                                                });
                      }),
            Texts{"first branch failed"});
  ASSERT_TRUE(second_gone.wait());
  EXPECT_FALSE(second_ran);
}

#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
namespace texts = base::texts;

// Address space capped just above what the process maps now: no new thread
// stack fits, so the system refuses every thread from here on. (Sanitizers
// map terabytes of shadow memory, hence not under them.)
bool refuse_new_threads() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t pages = 0;
  if (!(statm >> pages)) return false;
  const std::uint64_t mapped = pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  const rlimit limit{mapped + (1u << 20), mapped + (1u << 20)};
  return setrlimit(RLIMIT_AS, &limit) == 0;
}

TEST(RuntimeBlockingDeathTest, WithNoThreadLeftAJobRunsOnItsWorkerAndKeepsItsOutcome) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Runtime runtime(1);
        if (!refuse_new_threads()) std::_Exit(2);
        try {
          std::thread([] {}).join();
          std::_Exit(3);  // the premise failed: threads still start
        } catch (const std::system_error&) {
        }
        std::promise<std::string> settled;
        runtime.spawn_guarded(
            [&] {
              current()->run_blocking(
                  []() -> base::Result<int> { return texts::kReadError; },
                  [&](Outcome<int> outcome) {
                    settled.set_value(outcome.ok() ? "value" : outcome.error().description());
                  });
            },
            [&](std::string_view fault) { settled.set_value("fault: " + std::string(fault)); });
        const std::string got = settled.get_future().get();
        std::fprintf(stderr, "settled with %s\n", got.c_str());
        std::_Exit(got == texts::kReadError.view() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "settled with Read error: ");
}
#endif

TEST(RuntimeBlocking, IdleThreadsRetireAndThePoolGrowsAgain) {
  Runtime runtime(1, 8, 20ms);
  Countdown first(1);
  runtime.spawn_blocking([&] { first.count_down(); });
  ASSERT_TRUE(first.wait());
  ASSERT_TRUE(eventually([&] { return runtime.blocking_threads() == 0; }));

  Countdown second(1);
  ASSERT_TRUE(runtime.spawn_blocking([&] { second.count_down(); }));
  ASSERT_TRUE(second.wait());
}

// --- Faults ------------------------------------------------------------------

TEST(RuntimeFaults, ThrowingTasksLeaveTheWorkerRunning) {
  Runtime runtime(1);
  Countdown finished(1);
  runtime.spawn([] { throw std::runtime_error("unguarded"); });
  runtime.spawn([] { throw 7; });
  runtime.spawn_blocking([] { throw std::logic_error("blocking"); });
  runtime.spawn_guarded([] { throw Fault("x"); },
                        [](std::string_view) { throw std::runtime_error("handler too"); });
  runtime.spawn([&] { finished.count_down(); });
  EXPECT_TRUE(finished.wait());
}

// --- Shutdown --------------------------------------------------------------

TEST(RuntimeShutdown, DropsQueuedWorkAndLetsRunningTasksFinish) {
  constexpr int kQueuedTasks = 10;
  constexpr int kQueuedJobs = 5;
  Runtime runtime(1, 1);
  const int blocking_before = threads_named("tov-blocking");
  Countdown task_started(1);
  Countdown release_task(1);
  Countdown job_started(1);
  Gate release_job;
  // Queued tasks, queued jobs, and a queued run_blocking's job and continuation.
  Countdown queued_dropped(kQueuedTasks + kQueuedJobs + 2);
  Countdown continuation_dropped(1);
  std::atomic<bool> running_task_finished{false};
  std::atomic<bool> running_job_finished{false};
  std::atomic<bool> queued_ran{false};
  std::atomic<bool> continuation_ran{false};

  // Occupy the only worker and the only blocking thread.
  runtime.spawn([&] {
    task_started.count_down();
    (void)release_task.wait();
    running_task_finished = true;
  });
  runtime.run_blocking(
      [&] {
        job_started.count_down();
        release_job.wait();
        running_job_finished = true;
      },
      [&, probe = DropProbe(continuation_dropped)](Outcome<void>) { continuation_ran = true; });
  ASSERT_TRUE(task_started.wait());
  ASSERT_TRUE(job_started.wait());

  for (int i = 0; i < kQueuedTasks; ++i) {
    runtime.spawn([&, probe = DropProbe(queued_dropped)] { queued_ran = true; });
  }
  for (int i = 0; i < kQueuedJobs; ++i) {
    runtime.spawn_blocking([&, probe = DropProbe(queued_dropped)] { queued_ran = true; });
  }
  runtime.run_blocking(
      [&, probe = DropProbe(queued_dropped)] { queued_ran = true; },
      [&, probe = DropProbe(queued_dropped)](Outcome<void>) { queued_ran = true; });

  auto stopped = std::async(std::launch::async, [&] { runtime.shutdown(); });
  // The queue is emptied while the running work still holds its threads.
  const bool dropped_while_running = queued_dropped.wait();
  const bool task_still_running = !running_task_finished;
  release_task.count_down();
  const bool returned = stopped.wait_for(kPatience) == std::future_status::ready;
  const bool job_outlived_shutdown = !running_job_finished;
  release_job.open();
  stopped.wait();

  EXPECT_TRUE(dropped_while_running);
  EXPECT_TRUE(task_still_running);
  EXPECT_TRUE(returned) << "shutdown waited for a blocking job";
  EXPECT_TRUE(job_outlived_shutdown);
  EXPECT_TRUE(runtime.is_shut_down());
  EXPECT_TRUE(running_task_finished) << "shutdown waits for running tasks";
  // The running job finished after shutdown, so its continuation was refused
  // and destroyed.
  EXPECT_TRUE(continuation_dropped.wait());
  EXPECT_TRUE(running_job_finished);
  EXPECT_FALSE(continuation_ran);
  EXPECT_FALSE(queued_ran);
  EXPECT_TRUE(eventually([&] { return threads_named("tov-blocking") == blocking_before; }));
}

// Jobs stuck for good (a FIFO that never gets a writer) must not hold up
// shutdown. Their threads are cut loose and may outlive the runtime object:
// when a job does end, nothing of it may run on, and the thread must leave
// without touching the freed runtime (which the sanitizer builds check).
TEST(RuntimeShutdown, LeavesStuckJobsBehindAndTheirThreadsExitLater) {
  const int blocking_before = threads_named("tov-blocking");
  auto runtime = std::make_unique<Runtime>(1, 4);
  Gate release;
  Countdown stuck_started(2);
  Countdown stuck_threads_exited(2);
  Countdown idle_thread_exited(1);
  Countdown then_dropped(2);
  Countdown handler_dropped(1);
  std::atomic<int> continuations_ran{0};
  std::atomic<bool> fault_reported{false};
  auto resources = std::make_shared<int>(0);

  // One stuck job from outside any task, one awaited by a guarded task.
  ASSERT_TRUE(runtime->run_blocking(
      [&, resources] {
        ThreadExitProbe::arm(stuck_threads_exited);
        stuck_started.count_down();
        release.wait();
        return *resources;
      },
      [&, probe = DropProbe(then_dropped)](Outcome<int>) { ++continuations_ran; }));
  ASSERT_TRUE(runtime->spawn_guarded(
      [&, resources] {
        current()->run_blocking(
            [&, resources] {
              ThreadExitProbe::arm(stuck_threads_exited);
              stuck_started.count_down();
              release.wait();
            },
            [&, probe = DropProbe(then_dropped)](Outcome<void>) { ++continuations_ran; });
      },
      [&, probe = DropProbe(handler_dropped)](std::string_view) { fault_reported = true; }));
  ASSERT_TRUE(stuck_started.wait());
  // A third thread, started while both others are busy, finishes its job
  // and waits idle: that one is joined as usual.
  Countdown quick_done(1);
  ASSERT_TRUE(runtime->spawn_blocking([&] {
    ThreadExitProbe::arm(idle_thread_exited);
    quick_done.count_down();
  }));
  ASSERT_TRUE(quick_done.wait());
  ASSERT_TRUE(eventually([&] { return runtime->idle_blocking_threads() == 1; }));
  EXPECT_EQ(runtime->blocking_threads(), 3u);

  auto stopped = std::async(std::launch::async, [&] { runtime->shutdown(); });
  const bool returned = stopped.wait_for(kPatience) == std::future_status::ready;
  if (!returned) {
    // Free the jobs so that the test ends, reporting the hang.
    release.open();
    stopped.wait();
    FAIL() << "shutdown waited for blocking jobs that were still running";
  }
  EXPECT_TRUE(idle_thread_exited.done()) << "the idle thread was not joined";
  EXPECT_EQ(threads_named("tov-blocking"), blocking_before + 2);
  EXPECT_FALSE(then_dropped.done());
  EXPECT_EQ(resources.use_count(), 3);

  runtime.reset();
  release.open();

  // Each continuation dies unrun on its job's thread, the jobs' captures go
  // with them, and both threads leave.
  EXPECT_TRUE(then_dropped.wait());
  EXPECT_TRUE(handler_dropped.wait());
  EXPECT_TRUE(stuck_threads_exited.wait());
  EXPECT_TRUE(eventually([&] { return resources.use_count() == 1; }));
  EXPECT_TRUE(eventually([&] { return threads_named("tov-blocking") == blocking_before; }));
  EXPECT_EQ(continuations_ran.load(), 0);
  EXPECT_FALSE(fault_reported);
}

TEST(RuntimeShutdown, IsIdempotentAndRefusesLaterWork) {
  Runtime runtime(2);
  runtime.shutdown();
  runtime.shutdown();
  EXPECT_TRUE(runtime.is_shut_down());

  Countdown destroyed(4);
  std::atomic<bool> ran{false};
  EXPECT_FALSE(runtime.spawn([&, probe = DropProbe(destroyed)] { ran = true; }));
  EXPECT_FALSE(runtime.spawn_blocking([&, probe = DropProbe(destroyed)] { ran = true; }));
  EXPECT_FALSE(
      runtime.run_blocking([&, probe = DropProbe(destroyed)] { ran = true; },
                           [&, probe = DropProbe(destroyed)](Outcome<void>) { ran = true; }));
  EXPECT_TRUE(destroyed.done());
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace tov::runtime
