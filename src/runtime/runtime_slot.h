// The process's one background runtime: built by the first environment that
// registers the module, shut down when the last one ends.
#pragma once

#include <cstdint>
#include <string_view>

#include "runtime/unique_function.h"

namespace tov::runtime {

class Runtime;

// Registration: builds the runtime if the slot is empty (aborting the process
// when it cannot be built) and counts the environment.
void acquire_runtime();

// The last environment's cleanup empties the slot and shuts the runtime down.
void release_runtime();

std::uint64_t environment_count();

// Hands a task to the runtime's workers under a read hold of the slot; see
// Runtime::spawn_guarded. False when the runtime no longer takes work.
bool spawn_guarded(UniqueFunction<void()> task, UniqueFunction<void(std::string_view)> on_fault);

// Held for the duration of every synchronous call's body. The runtime must
// exist while any environment is registered; an empty slot is fatal.
class RuntimeContext {
 public:
  RuntimeContext();
  ~RuntimeContext();
  RuntimeContext(const RuntimeContext&) = delete;
  RuntimeContext& operator=(const RuntimeContext&) = delete;

  runtime::Runtime& runtime() const noexcept { return *runtime_; }

 private:
  runtime::Runtime* runtime_;
  runtime::Runtime* previous_;
};

}  // namespace tov::runtime
