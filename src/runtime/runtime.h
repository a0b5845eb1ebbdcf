// The background runtime: a fixed set of worker threads for asynchronous work
// and a growing pool of blocking threads for file reads, so that a read
// never holds up computing on a worker. The module keeps one per process;
// this header knows nothing about how it is kept or about JavaScript.
//
// Work is plain callables. A task that must wait for a blocking job does not
// sleep on its worker: it hands the job and the rest of its work (a
// continuation) to run_blocking and returns. The continuation runs on a
// worker once the job is done and counts as part of the same task, so a fault
// in it is reported like a fault in the first step.
//
// A blocking job may never end (an open() of a FIFO that gets no writer, a
// read from a dead network file system), so shutdown does not wait for
// running ones. The state their threads touch once the job returns lives in
// a block that those threads share with the runtime, so that it outlives the
// Runtime object for as long as any of them needs it; and the module's code
// is pinned in memory, since the host may unload the module once its last
// environment has ended.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/result.h"
#include "runtime/unique_function.h"

namespace tov::runtime {

class Runtime;

// Thrown by work that must be abandoned part-way. Its text is what a guarded
// task's fault handler receives; `throw Fault("...")` with a literal, or a
// text of base::texts.
class Fault : public std::exception {
 public:
  explicit Fault(base::FixedText text) noexcept : text_(text.c_str()) {}
  const char* what() const noexcept override { return text_; }

 private:
  const char* text_;
};

// The end of a blocking job as its continuation sees it: the job's value,
// or texts::kBackgroundTaskFailed when the job threw and so did not
// complete. A job that returns a Result already is passed on as it is.
template <class T>
using Outcome = base::AsResultT<T>;

namespace detail {

class FaultScope;

// The fault scope of the guarded task running on this thread, if any.
std::shared_ptr<FaultScope> current_fault_scope();

// Deliberately a plain pointer in TLS: the call frame enters the context for
// every synchronous call, so entering must cost no more than a swap.
inline constinit thread_local Runtime* tls_current_runtime = nullptr;

}  // namespace detail

// The runtime whose context this thread is in: the innermost live
// ContextGuard's, or the runtime owning this thread when it is a worker or a
// blocking thread; nullptr otherwise. A blocking job still running when its
// runtime was shut down must not use it: the runtime may be gone by then.
inline Runtime* current() noexcept {
  return detail::tls_current_runtime;
}

// Enters a runtime's context for its lifetime. Guards nest and must be left
// in reverse order, which scoping guarantees.
class ContextGuard {
 public:
  explicit ContextGuard(Runtime& runtime) noexcept
      : previous_(std::exchange(detail::tls_current_runtime, &runtime)) {}
  ~ContextGuard() { detail::tls_current_runtime = previous_; }

  ContextGuard(const ContextGuard&) = delete;
  ContextGuard& operator=(const ContextGuard&) = delete;

 private:
  Runtime* previous_;
};

class Runtime {
 public:
  static constexpr std::size_t kMaxBlockingThreads = 512;
  static constexpr std::chrono::milliseconds kBlockingKeepAlive{10'000};

  // Starts every worker thread and returns once all of them run. Throws
  // std::system_error when a thread cannot be started, after stopping the
  // ones that were. Counts of 0 are taken as 1.
  explicit Runtime(std::size_t worker_threads,
                   std::size_t max_blocking_threads = kMaxBlockingThreads,
                   std::chrono::milliseconds blocking_keep_alive = kBlockingKeepAlive);

  // Shuts down; see shutdown() for the thread it must not run on.
  ~Runtime();

  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  // The constructor, with failures as errors instead of exceptions: the
  // system's code when a thread could not be started (e.g. "Resource
  // temporarily unavailable (os error 11)"), texts::kOutOfMemory, or the
  // text of whatever else was thrown.
  static base::Result<std::unique_ptr<Runtime>> create(
      std::size_t worker_threads, std::size_t max_blocking_threads = kMaxBlockingThreads,
      std::chrono::milliseconds blocking_keep_alive = kBlockingKeepAlive);

  // Runs `task` on some worker, in no promised order. Returns false, having
  // destroyed the task unrun, when the runtime is shut down or the task is
  // empty. Exceptions the task throws are swallowed. May throw
  // std::bad_alloc, in which case the task is destroyed unrun.
  bool spawn(UniqueFunction<void()> task);

  // Like spawn, and exactly one of these follows unless shutdown drops the
  // task: it (with its continuations, see run_blocking) completes normally,
  // or `on_fault` runs once on a worker with the fault's text: a Fault's own
  // text, texts::kOutOfMemory for std::bad_alloc, texts::kPanicInAsyncFunction
  // for anything else.
  // After a fault, continuations still pending for the task are dropped.
  bool spawn_guarded(UniqueFunction<void()> task,
                     UniqueFunction<void(std::string_view fault_text)> on_fault);

  // Runs `job` on a blocking thread, starting one if none is idle and fewer
  // than the cap are alive; otherwise the job waits its turn in a queue.
  // Returns false, having destroyed the job unrun, after shutdown or for an
  // empty job. Throws std::system_error when no blocking thread exists and
  // none can be started (the job is destroyed unrun).
  bool spawn_blocking(UniqueFunction<void()> job);

  // Runs `job` on a blocking thread, then `then(Outcome<T>)` on a worker,
  // where T is what the job returns. A job that throws gives the outcome
  // texts::kBackgroundTaskFailed. After shutdown neither runs; both are destroyed. A job
  // already running when shutdown begins runs on, but unless it returns in
  // time for a worker to take `then`, `then` is destroyed unrun: on the job's
  // own thread when the job outlasts shutdown.
  // Outside a guarded task this returns and throws as spawn_blocking.
  // Inside one, `then` belongs to that task, and the job is queued only when
  // the current step returns normally (so the step's own fault drops it);
  // when no blocking thread is alive and none can be started then, the job
  // runs on the worker itself, and a failure to queue it is a fault of the
  // task.
  template <class Job, class Then, class T = std::invoke_result_t<std::decay_t<Job>&>>
  requires std::is_invocable_v < std::decay_t<Then>
  &, Outcome < T >> bool run_blocking(Job&& job, Then&& then);

  // Idempotent. Stops accepting work and destroys queued tasks and queued
  // blocking jobs on the calling thread without running them. Running tasks
  // finish and every worker is joined, as is every idle blocking thread.
  // Blocking jobs that are running are not waited for, since they may never
  // end: their threads are detached, and each destroys its job's
  // continuation unrun when the job returns, then exits. Such a job must
  // not touch the runtime (see current()); and since its thread runs this
  // module's code, detaching one keeps the module loaded for the rest of the
  // process. Must not be called from one of this runtime's own threads (that
  // would join itself); doing so aborts.
  void shutdown() noexcept;

  std::size_t worker_count() const noexcept { return worker_count_; }
  std::size_t max_blocking_threads() const noexcept { return max_blocking_; }
  // Blocking threads alive now, busy or idle.
  std::size_t blocking_threads() const;
  // Blocking threads waiting for a job that none has been promised yet.
  std::size_t idle_blocking_threads() const;
  // The most blocking jobs that have run at the same time.
  std::size_t peak_blocking_jobs() const;
  bool is_shut_down() const noexcept { return shut_down_.load(std::memory_order_acquire); }

 private:
  struct Task {
    UniqueFunction<void()> fn;
    std::shared_ptr<detail::FaultScope> scope;  // null for unguarded tasks
  };
  // The task queue and the blocking pool: everything a blocking thread
  // touches once its job has returned. Shared by the runtime and each
  // blocking thread, so a thread detached by shutdown never reaches freed
  // memory.
  struct Core;

  template <class T, class Job>
  static Outcome<T> run_job(Job& job) noexcept;

  // Hands a blocking job's continuation to the workers; after shutdown it is
  // destroyed unrun on the calling thread instead. Needs only `core`, which
  // the calling blocking thread keeps alive.
  static void continue_in(Core& core, std::shared_ptr<detail::FaultScope> scope,
                          UniqueFunction<void()> fn) noexcept;
  bool await_blocking(UniqueFunction<void()> job);
  void run_task(Task& task) noexcept;
  void worker_main();
  void stop_workers() noexcept;

  const std::size_t worker_count_;
  const std::size_t max_blocking_;
  const std::shared_ptr<Core> core_;
  std::vector<std::thread> workers_;  // touched only by the constructor and shutdown

  std::mutex shutdown_mutex_;
  std::atomic<bool> shut_down_{false};
};

template <class T, class Job>
Outcome<T> Runtime::run_job(Job& job) noexcept {
  try {
    if constexpr (std::is_void_v<T>) {
      job();
      return {};
    } else {
      return job();
    }
  } catch (...) {
    return base::texts::kBackgroundTaskFailed;
  }
}

template <class Job, class Then, class T>
requires std::is_invocable_v < std::decay_t<Then>
&, Outcome < T >> bool Runtime::run_blocking(Job&& job, Then&& then) {
  static_assert(!std::is_reference_v<T>, "a blocking job must return a value, not a reference");
  // Runs on a blocking thread, which holds the core: the runtime itself may
  // be gone by the time the job returns.
  return await_blocking([core = core_.get(), scope = detail::current_fault_scope(),
                         job = std::forward<Job>(job), then = std::forward<Then>(then)]() mutable {
    Outcome<T> outcome = run_job<T>(job);
    continue_in(*core, std::move(scope),
                [then = std::move(then), outcome = std::move(outcome)]() mutable {
                  then(std::move(outcome));
                });
  });
}

}  // namespace tov::runtime
