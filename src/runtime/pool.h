// The process-wide data-parallel worker pool: fork-join loops over index
// ranges, used to spread per-file work of a batch over the processors.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace tov::runtime {

class WorkerPool {
 public:
  // Starts up to `workers` threads named "tov-pool-N". Threads that the
  // system refuses to start are simply missing; with none at all, loops run
  // on the calling thread.
  explicit WorkerPool(std::size_t workers);
  // Stops and joins the workers. Loops still running must have returned.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // The pool shared by the whole process, started on first use with the
  // count from the environment (pool_threads_from_env), and never torn down: its threads stay
  // parked until the process exits.
  static WorkerPool& shared();

  std::size_t worker_count() const { return threads_.size(); }

  // Calls body(i) once for every i in [0, n) and returns when all calls are
  // done. Idle workers take the next unclaimed index one at a time, so a slow
  // item never holds back the items after it. n == 1 runs on the calling
  // thread; otherwise an outside caller only waits while the workers run the
  // items, and a worker that calls this joins in on its own loop (nested
  // loops cannot deadlock). Any number of threads may run loops at once;
  // they share the workers.
  //
  // If a call throws, no further items are started, the calls already
  // running finish, and the first exception is rethrown here.
  template <class Body>
  void for_each_index(std::size_t n, Body&& body) {
    using Fn = std::remove_reference_t<Body>;
    run(
        n, [](void* fn, std::size_t index) { (*static_cast<Fn*>(fn))(index); },
        const_cast<void*>(static_cast<const void*>(std::addressof(body))));
  }

 private:
  struct Loop;
  using Invoke = void (*)(void*, std::size_t);

  void run(std::size_t n, Invoke invoke, void* body);
  void work_on(Loop& loop);
  void leave(Loop& loop, std::unique_lock<std::mutex>& lock);
  void worker_main(std::size_t number);

  std::mutex mutex_;
  std::condition_variable work_available_;
  std::deque<Loop*> loops_;  // loops with unclaimed items; guarded by mutex_
  bool stopping_ = false;    // guarded by mutex_
  std::vector<std::thread> threads_;
};

// WorkerPool::shared().for_each_index(n, body).
template <class Body>
void parallel_for(std::size_t n, Body&& body) {
  if (n == 0) return;
  if (n == 1) {
    body(std::size_t{0});
    return;
  }
  WorkerPool::shared().for_each_index(n, std::forward<Body>(body));
}

}  // namespace tov::runtime
