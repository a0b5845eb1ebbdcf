#include "runtime/pool.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <limits>
#include <string>
#include <system_error>

#include "base/texts.h"
#include "platform/platform.h"
#include "runtime/runtime_config.h"

namespace tov::runtime {

namespace {

// The pool whose worker is the current thread, if any, so that a loop
// started from inside a loop body is run by its caller instead of waiting for
// workers that may all be busy waiting themselves.
thread_local const WorkerPool* current_pool = nullptr;

}  // namespace

struct WorkerPool::Loop {
  Loop(std::size_t count, Invoke call, void* fn) : n(count), invoke(call), body(fn) {}

  const std::size_t n;
  const Invoke invoke;
  void* const body;
  std::atomic<std::size_t> next{0};

  // Guarded by the pool's mutex.
  std::size_t inside = 0;  // threads working on the loop
  bool listed = true;      // still offered to idle workers
  std::exception_ptr error;
  std::condition_variable finished;
};

WorkerPool::WorkerPool(std::size_t workers) {
  threads_.reserve(workers);
  for (std::size_t number = 0; number < workers; ++number) {
    try {
      threads_.emplace_back([this, number] { worker_main(number); });
    } catch (const std::system_error&) {
      break;  // the system has no more threads to give
    }
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  work_available_.notify_all();
  for (auto& thread : threads_) thread.join();
}

WorkerPool& WorkerPool::shared() {
  // Deliberately never destroyed: joining at exit could wait on work that
  // another thread is still running, and the parked threads cost nothing.
  static WorkerPool* const pool = new WorkerPool(pool_threads_from_env());
  return *pool;
}

void WorkerPool::run(std::size_t n, Invoke invoke, void* body) {
  if (n == 0) return;
  if (n == 1 || threads_.empty()) {
    for (std::size_t index = 0; index < n; ++index) invoke(body, index);
    return;
  }
  Loop loop(n, invoke, body);
  std::unique_lock lock(mutex_);
  loops_.push_back(&loop);
  if (n >= threads_.size()) {
    work_available_.notify_all();
  } else {
    for (std::size_t i = 0; i < n; ++i) work_available_.notify_one();
  }
  if (current_pool == this) {
    ++loop.inside;
    lock.unlock();
    work_on(loop);
    lock.lock();
    leave(loop, lock);
  }
  // The loop lives on this stack frame: wait until no worker can touch it.
  loop.finished.wait(lock, [&] { return !loop.listed && loop.inside == 0; });
  lock.unlock();
  if (loop.error) std::rethrow_exception(loop.error);
}

void WorkerPool::work_on(Loop& loop) {
  for (;;) {
    const std::size_t index = loop.next.fetch_add(1, std::memory_order_relaxed);
    if (index >= loop.n) return;
    try {
      loop.invoke(loop.body, index);
    } catch (...) {
      loop.next.store(loop.n, std::memory_order_relaxed);
      std::lock_guard lock(mutex_);
      if (!loop.error) loop.error = std::current_exception();
      return;
    }
  }
}

void WorkerPool::leave(Loop& loop, std::unique_lock<std::mutex>& lock) {
  (void)lock;  // held by the caller
  // Whoever leaves has seen every index claimed, so the loop has nothing
  // left to offer.
  if (loop.listed) {
    loops_.erase(std::find(loops_.begin(), loops_.end(), &loop));
    loop.listed = false;
  }
  if (--loop.inside == 0) loop.finished.notify_all();
}

void WorkerPool::worker_main(std::size_t number) {
  std::string name(base::texts::kPoolThreadNamePrefix);
  name += std::to_string(number);
  platform::set_current_thread_name(name.c_str());
  current_pool = this;
  std::unique_lock lock(mutex_);
  for (;;) {
    work_available_.wait(lock, [&] { return stopping_ || !loops_.empty(); });
    if (loops_.empty()) return;
    Loop* const loop = loops_.front();
    // Rotate so that loops started at the same time share the workers
    // instead of the oldest one taking them all.
    loops_.pop_front();
    loops_.push_back(loop);
    ++loop->inside;
    lock.unlock();
    work_on(*loop);
    lock.lock();
    leave(*loop, lock);
  }
}

}  // namespace tov::runtime
