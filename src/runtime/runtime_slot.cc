#include "runtime/runtime_slot.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "platform/fatal.h"
#include "runtime/runtime.h"
#include "runtime/runtime_config.h"

namespace tov::runtime {

namespace {

std::shared_mutex slot_lock;
std::unique_ptr<runtime::Runtime> slot;  // guarded by slot_lock
std::atomic<std::uint64_t> environments{0};
// The slot's runtime, for the synchronous calls that only need to see it.
// Every such call runs in a registered environment, and the runtime leaves
// the slot only when the last environment ends, so a plain load is enough
// where a read hold of the lock would cost more than a small call's work.
std::atomic<runtime::Runtime*> published{nullptr};

runtime::Runtime& running_runtime() {
  if (!slot) platform::fatal("The background runtime is not running");
  return *slot;
}

}  // namespace

void acquire_runtime() {
  std::unique_lock lock(slot_lock);
  if (!slot) {
    const runtime::WorkerThreads workers = runtime::worker_threads_from_env();
    if (!workers.ok()) platform::fatal(workers.error);
    runtime::Runtime::Built built = runtime::Runtime::create(workers.count);
    if (!built.runtime) platform::fatal("Create tokio runtime failed: " + built.error);
    slot = std::move(built.runtime);
    published.store(slot.get());
  }
  environments.fetch_add(1);
}

void release_runtime() {
  if (environments.fetch_sub(1) != 1) return;
  std::unique_lock lock(slot_lock);
  // Between the count reaching 0 and this lock, another environment may have
  // registered: it found the runtime still in the slot and only counted
  // itself, so the runtime is now that environment's and must stay. Acquires
  // count under the lock, so the count read here cannot change until the
  // lock is released.
  if (environments.load() != 0) return;
  std::unique_ptr<runtime::Runtime> ending = std::move(slot);
  published.store(nullptr);
  // Unfinished tasks are dropped: they belong to the environment being torn down.
  if (ending) ending->shutdown();
}

std::uint64_t environment_count() { return environments.load(); }

RuntimeContext::RuntimeContext() : runtime_(published.load()) {
  if (runtime_ == nullptr) platform::fatal("The background runtime is not running");
  previous_ = std::exchange(runtime::detail::tls_current_runtime, runtime_);
}

RuntimeContext::~RuntimeContext() { runtime::detail::tls_current_runtime = previous_; }

bool spawn_guarded(UniqueFunction<void()> task,
                   UniqueFunction<void(std::string_view)> on_fault) {
  std::shared_lock lock(slot_lock);
  return running_runtime().spawn_guarded(std::move(task), std::move(on_fault));
}

}  // namespace tov::runtime
