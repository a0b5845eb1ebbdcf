#include "runtime/runtime.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <list>
#include <new>
#include <system_error>

#include "platform/fatal.h"
#include "platform/module_pin.h"
#include "platform/platform.h"

namespace tov::runtime {

namespace texts = base::texts;

namespace detail {

// Shared by a guarded task's steps (the first one and its continuations).
// Steps may fault concurrently when a step started several blocking jobs, so
// the first report wins and the handler is consumed by it.
class FaultScope {
 public:
  explicit FaultScope(UniqueFunction<void(std::string_view)> on_fault)
      : on_fault_(std::move(on_fault)) {}

  bool faulted() const noexcept { return faulted_.load(std::memory_order_acquire); }

  void report(std::string_view text) noexcept {
    if (faulted_.exchange(true, std::memory_order_acq_rel)) return;
    // Released as soon as it has run: it may hold host handles.
    UniqueFunction<void(std::string_view)> handler = std::move(on_fault_);
    try {
      if (handler) handler(text);
    } catch (...) {
      // A failing fault handler has nobody left to report to.
    }
  }

 private:
  std::atomic<bool> faulted_{false};
  UniqueFunction<void(std::string_view)> on_fault_;
};

}  // namespace detail

namespace {

// The runtime that owns the calling thread, if it is a worker or a blocking
// thread; used to refuse a shutdown that would join its own thread.
thread_local Runtime* tls_owner = nullptr;

// The guarded task step running on this thread: its scope, and the blocking
// jobs it awaits, which are queued only once the step has returned normally.
struct Step {
  Runtime* runtime;
  const std::shared_ptr<detail::FaultScope>* scope;
  std::vector<UniqueFunction<void()>>* awaited;
};
thread_local const Step* tls_step = nullptr;

class StepBinding {
 public:
  explicit StepBinding(const Step* step) noexcept : previous_(std::exchange(tls_step, step)) {}
  ~StepBinding() { tls_step = previous_; }
  StepBinding(const StepBinding&) = delete;
  StepBinding& operator=(const StepBinding&) = delete;

 private:
  const Step* previous_;
};

// Only a Fault's text is known to be fixed; whatever else was thrown may
// have had its message composed at run time, or have no message at all.
std::string_view current_fault_text() noexcept {
  try {
    throw;
  } catch (const Fault& fault) {
    return fault.what();
  } catch (const std::bad_alloc&) {
    return texts::kOutOfMemory;
  } catch (...) {
    return texts::kPanicInAsyncFunction;
  }
}

}  // namespace

struct Runtime::Core : std::enable_shared_from_this<Core> {
  struct BlockingThread {
    std::thread thread;
    bool busy = false;  // running a job; such a thread is detached, not joined, at shutdown
  };
  using BlockingThreads = std::list<BlockingThread>;

  Core(Runtime* owner, std::size_t max_blocking, std::chrono::milliseconds keep_alive)
      : owner(owner), max_blocking(max_blocking), keep_alive(keep_alive) {}

  bool submit(Task task);
  enum class Offer { kQueued, kStopped, kNoThread };
  // Queues `job` for a blocking thread. kNoThread: no blocking thread is
  // alive and none could be started; the job stays with the caller and
  // `failure` says why.
  Offer offer_blocking(UniqueFunction<void()>& job, std::exception_ptr& failure);
  void start_blocking_thread();
  void blocking_main(BlockingThreads::iterator self);

  // Only its address is used once the runtime may be gone: as the thread's
  // context and to recognise the runtime's own threads.
  Runtime* const owner;
  const std::size_t max_blocking;
  const std::chrono::milliseconds keep_alive;

  // Workers. All below guarded by queue_mutex.
  std::mutex queue_mutex;
  std::condition_variable queue_cv;
  std::condition_variable started_cv;
  std::deque<Task> queue;
  std::size_t idle_workers = 0;
  std::size_t started_workers = 0;
  bool stopping = false;

  // Blocking pool. All below guarded by blocking_mutex.
  std::mutex blocking_mutex;
  std::condition_variable blocking_cv;
  std::deque<UniqueFunction<void()>> blocking_queue;
  BlockingThreads blocking_threads;  // started and not retired
  BlockingThreads retired_threads;   // finished, waiting to be joined
  std::size_t idle_blocking = 0;     // waiting for work and not yet claimed
  std::size_t wakeups = 0;           // idle threads claimed but not yet awake
  std::size_t running_jobs = 0;
  std::size_t peak_jobs = 0;
  bool blocking_stopping = false;
};

std::shared_ptr<detail::FaultScope> detail::current_fault_scope() {
  return tls_step != nullptr ? *tls_step->scope : nullptr;
}

Runtime::Runtime(std::size_t worker_threads, std::size_t max_blocking_threads,
                 std::chrono::milliseconds blocking_keep_alive)
    : worker_count_(std::max<std::size_t>(worker_threads, 1)),
      max_blocking_(std::max<std::size_t>(max_blocking_threads, 1)),
      core_(std::make_shared<Core>(this, max_blocking_, blocking_keep_alive)) {
  try {
    // Bounded: an absurd count from the environment should fail at thread
    // creation with the system's reason, not at a giant allocation.
    workers_.reserve(std::min<std::size_t>(worker_count_, 1024));
    for (std::size_t i = 0; i < worker_count_; ++i) {
      workers_.emplace_back([this] { worker_main(); });
    }
  } catch (...) {
    stop_workers();
    throw;
  }
  // Returning only once every worker runs (and carries its name) makes the
  // thread set observable as soon as the runtime exists.
  std::unique_lock lock(core_->queue_mutex);
  core_->started_cv.wait(lock, [&] { return core_->started_workers == worker_count_; });
}

Runtime::~Runtime() {
  shutdown();
}

base::Result<std::unique_ptr<Runtime>> Runtime::create(
    std::size_t worker_threads, std::size_t max_blocking_threads,
    std::chrono::milliseconds blocking_keep_alive) {
  try {
    return std::make_unique<Runtime>(worker_threads, max_blocking_threads, blocking_keep_alive);
  } catch (const std::system_error& error) {
    const std::error_category& category = error.code().category();
    if (category == std::system_category() || category == std::generic_category()) {
      return platform::os_error(error.code().value());
    }
    return base::Error::composed(error.what());
  } catch (const std::bad_alloc&) {
    return texts::kOutOfMemory;
  } catch (const std::exception& error) {
    return base::Error::composed(error.what());
  } catch (...) {
    return texts::kUnknownError;
  }
}

bool Runtime::spawn(UniqueFunction<void()> task) {
  return core_->submit(Task{std::move(task), nullptr});
}

bool Runtime::spawn_guarded(UniqueFunction<void()> task,
                            UniqueFunction<void(std::string_view)> on_fault) {
  if (!task) return false;
  return core_->submit(
      Task{std::move(task), std::make_shared<detail::FaultScope>(std::move(on_fault))});
}

// `task` is a by-value parameter so that a rejected one is destroyed after
// the lock is released: its destructor may spawn again.
bool Runtime::Core::submit(Task task) {
  if (!task.fn) return false;
  bool wake = false;
  {
    std::lock_guard lock(queue_mutex);
    if (stopping) return false;
    queue.push_back(std::move(task));
    wake = idle_workers > 0;
  }
  if (wake) queue_cv.notify_one();
  return true;
}

void Runtime::continue_in(Core& core, std::shared_ptr<detail::FaultScope> scope,
                          UniqueFunction<void()> fn) noexcept {
  try {
    // Refused after shutdown: the continuation dies here, unrun.
    core.submit(Task{std::move(fn), scope});
  } catch (...) {
    // Only queue growth can fail here. The continuation is lost, so the task
    // has been abandoned part-way: that is a fault of the task.
    if (scope) scope->report(texts::kOutOfMemory);
  }
}

bool Runtime::await_blocking(UniqueFunction<void()> job) {
  if (!job) return false;
  if (tls_step != nullptr && tls_step->runtime == this) {
    tls_step->awaited->push_back(std::move(job));
    return true;
  }
  return spawn_blocking(std::move(job));
}

void Runtime::run_task(Task& task) noexcept {
  if (!task.scope) {
    try {
      task.fn();
    } catch (...) {
      // Unguarded: nobody wants to hear about it, but the worker lives on.
    }
    return;
  }
  if (task.scope->faulted()) return;
  // Blocking jobs the step awaits start only after it has returned, so a
  // continuation can never run beside a step that then faults: exactly one
  // of "completed" and "faulted" holds for the task.
  std::vector<UniqueFunction<void()>> awaited;
  const Step step{this, &task.scope, &awaited};
  std::string_view fault;
  bool faulted = false;
  {
    StepBinding binding(&step);
    try {
      task.fn();
    } catch (...) {
      fault = current_fault_text();
      faulted = true;
    }
  }
  if (!faulted) {
    try {
      for (UniqueFunction<void()>& job : awaited) {
        std::exception_ptr no_thread;
        // When the system has no thread left to give (other pools took
        // them all), the job runs here: it ties up this worker for a while,
        // but the task still ends with its own outcome (the file's real
        // error, say) instead of a fault that tells nothing.
        if (core_->offer_blocking(job, no_thread) == Core::Offer::kNoThread) job();
      }
    } catch (...) {
      fault = current_fault_text();
      faulted = true;
    }
  }
  // A faulted step's awaited jobs are dropped unrun with `awaited`.
  if (faulted) task.scope->report(fault);
}

void Runtime::worker_main() {
  tls_owner = this;
  ContextGuard context(*this);
  platform::set_current_thread_name(texts::kWorkerThreadName.c_str());
  // Workers are joined before the runtime goes, so the core needs no hold here.
  Core& core = *core_;
  std::unique_lock lock(core.queue_mutex);
  ++core.started_workers;
  core.started_cv.notify_all();
  while (!core.stopping) {
    if (core.queue.empty()) {
      ++core.idle_workers;
      core.queue_cv.wait(lock);
      --core.idle_workers;
      continue;
    }
    {
      Task task = std::move(core.queue.front());
      core.queue.pop_front();
      lock.unlock();
      run_task(task);
      // The task dies here, before the lock is taken again.
    }
    lock.lock();
  }
}

bool Runtime::spawn_blocking(UniqueFunction<void()> job) {
  if (!job) return false;
  std::exception_ptr failure;
  const Core::Offer offer = core_->offer_blocking(job, failure);
  if (offer == Core::Offer::kNoThread) std::rethrow_exception(failure);
  return offer == Core::Offer::kQueued;
}

Runtime::Core::Offer Runtime::Core::offer_blocking(UniqueFunction<void()>& job,
                                                   std::exception_ptr& failure) {
  BlockingThreads finished;
  bool wake = false;
  {
    std::lock_guard lock(blocking_mutex);
    if (blocking_stopping) return Offer::kStopped;
    finished.splice(finished.end(), retired_threads);
    blocking_queue.push_back(std::move(job));
    if (idle_blocking > 0) {
      --idle_blocking;
      ++wakeups;
      wake = true;
    } else if (blocking_threads.size() < max_blocking) {
      try {
        start_blocking_thread();
      } catch (...) {
        // With other threads alive the job will still be picked up; with
        // none it would wait forever, so take it back and say why.
        if (blocking_threads.empty()) {
          job = std::move(blocking_queue.back());
          blocking_queue.pop_back();
          failure = std::current_exception();
        }
      }
    }
  }
  if (wake) blocking_cv.notify_one();
  for (BlockingThread& retired : finished) retired.thread.join();
  return failure ? Offer::kNoThread : Offer::kQueued;
}

// Called with blocking_mutex held.
void Runtime::Core::start_blocking_thread() {
  // The list node exists before the thread, so that nothing can fail between
  // starting a thread and recording it.
  blocking_threads.emplace_back();
  const auto self = std::prev(blocking_threads.end());
  try {
    // The thread's own hold on the core: it may outlive the runtime.
    self->thread = std::thread([core = shared_from_this(), self] { core->blocking_main(self); });
  } catch (...) {
    blocking_threads.erase(self);
    throw;
  }
}

void Runtime::Core::blocking_main(BlockingThreads::iterator self) {
  tls_owner = owner;
  ContextGuard context(*owner);
  platform::set_current_thread_name(texts::kBlockingThreadName.c_str());
  std::unique_lock lock(blocking_mutex);
  // `self` belongs to shutdown once blocking_stopping is set (it may already
  // be destroyed, this thread detached), so it is touched only before that.
  while (!blocking_stopping) {
    if (!blocking_queue.empty()) {
      self->busy = true;
      ++running_jobs;
      peak_jobs = std::max(peak_jobs, running_jobs);
      {
        UniqueFunction<void()> job = std::move(blocking_queue.front());
        blocking_queue.pop_front();
        lock.unlock();
        try {
          job();
        } catch (...) {
          // A plain blocking job has nobody to report to; run_blocking
          // catches for its continuation before this point.
        }
      }
      lock.lock();
      --running_jobs;
      if (blocking_stopping) break;
      self->busy = false;
      continue;
    }
    ++idle_blocking;
    const bool woken =
        blocking_cv.wait_for(lock, keep_alive, [&] { return wakeups > 0 || blocking_stopping; });
    if (wakeups > 0) {
      // Claimed by a spawner, which already took us off the idle count.
      --wakeups;
      continue;
    }
    --idle_blocking;
    if (!woken) {
      // Idle for the whole keep-alive: retire. Whoever starts the next job
      // (or shutdown) joins this thread.
      retired_threads.splice(retired_threads.end(), blocking_threads, self);
      return;
    }
  }
}

std::size_t Runtime::blocking_threads() const {
  std::lock_guard lock(core_->blocking_mutex);
  return core_->blocking_threads.size();
}

std::size_t Runtime::idle_blocking_threads() const {
  std::lock_guard lock(core_->blocking_mutex);
  return core_->idle_blocking;
}

std::size_t Runtime::peak_blocking_jobs() const {
  std::lock_guard lock(core_->blocking_mutex);
  return core_->peak_jobs;
}

void Runtime::stop_workers() noexcept {
  {
    std::lock_guard lock(core_->queue_mutex);
    core_->stopping = true;
  }
  core_->queue_cv.notify_all();
  for (std::thread& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
}

void Runtime::shutdown() noexcept {
  if (tls_owner == this) platform::fatal(texts::kRuntimeShutDownFromOwnThread);
  std::lock_guard guard(shutdown_mutex_);
  if (shut_down_.load(std::memory_order_acquire)) return;

  Core& core = *core_;
  std::deque<Task> dropped_tasks;
  {
    std::lock_guard lock(core.queue_mutex);
    core.stopping = true;
    dropped_tasks.swap(core.queue);
  }
  core.queue_cv.notify_all();
  std::deque<UniqueFunction<void()>> dropped_jobs;
  {
    std::lock_guard lock(core.blocking_mutex);
    core.blocking_stopping = true;
    dropped_jobs.swap(core.blocking_queue);
  }
  core.blocking_cv.notify_all();
  // Destroyed here, unrun, with no lock held: destructors may call back in.
  dropped_tasks.clear();
  dropped_jobs.clear();

  stop_workers();
  // No thread starts, retires or takes a job once blocking_stopping is set,
  // so these lists are final and a thread not busy now never will be.
  Core::BlockingThreads threads;
  bool detached = false;
  {
    std::lock_guard lock(core.blocking_mutex);
    threads.splice(threads.end(), core.blocking_threads);
    threads.splice(threads.end(), core.retired_threads);
    // A busy thread's job may never return. Detached, it finds the core
    // through its own hold, drops the continuation and exits.
    for (Core::BlockingThread& blocking : threads) {
      if (!blocking.busy) continue;
      blocking.thread.detach();
      detached = true;
    }
  }
  // A detached thread still runs this module's code, which the host may
  // unload as soon as its last environment is gone: that happens only after
  // this returns, so pinning here is in time.
  if (detached) platform::pin_loaded_module();
  for (Core::BlockingThread& blocking : threads) {
    if (blocking.thread.joinable()) blocking.thread.join();
  }
  shut_down_.store(true, std::memory_order_release);
}

}  // namespace tov::runtime
