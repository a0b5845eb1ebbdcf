#include "runtime/runtime_slot.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "platform/fatal.h"
#include "platform/shared_mutex.h"
#include "runtime/runtime.h"
#include "runtime/runtime_config.h"

namespace tov::runtime {

namespace texts = base::texts;

namespace {

platform::SharedMutex slot_lock;
// Never destroyed: a runtime still in the slot when the process exits (the
// host exited without ending its environments, as process.exit does) is left
// to the system. Shutting it down from a static destructor would join threads
// that Windows has already terminated at that point, and wait for ever.
std::unique_ptr<runtime::Runtime>& slot = *new std::unique_ptr<runtime::Runtime>;  // guarded by slot_lock
std::atomic<std::uint64_t> environments{0};
// The slot's runtime, for the synchronous calls that only need to see it.
// Every such call runs in a registered environment, and the runtime leaves
// the slot only when the last environment ends, so a plain load is enough
// where a read hold of the lock would cost more than a small call's work.
std::atomic<runtime::Runtime*> published{nullptr};

runtime::Runtime& running_runtime() {
  if (!slot) platform::fatal(texts::kRuntimeNotRunning);
  return *slot;
}

}  // namespace

void acquire_runtime() {
  std::unique_lock lock(slot_lock);
  if (!slot) {
    const base::Result<std::size_t> workers = worker_threads_from_env();
    if (!workers) platform::fatal(workers.error().description());
    base::Result<std::unique_ptr<Runtime>> built = Runtime::create(*workers);
    if (!built) {
      platform::fatal(std::string(texts::kRuntimeBuildFailed) + built.error().description());
    }
    slot = std::move(*built);
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
  if (runtime_ == nullptr) platform::fatal(texts::kRuntimeNotRunning);
  previous_ = std::exchange(runtime::detail::tls_current_runtime, runtime_);
}

RuntimeContext::~RuntimeContext() { runtime::detail::tls_current_runtime = previous_; }

bool spawn_guarded(UniqueFunction<void()> task,
                   UniqueFunction<void(std::string_view)> on_fault) {
  std::shared_lock lock(slot_lock);
  return running_runtime().spawn_guarded(std::move(task), std::move(on_fault));
}

}  // namespace tov::runtime
