// How many worker threads the background runtime gets. The count comes from
// the environment when the runtime is built; a bad value is fatal, so the
// result carries the exact message for the caller to print before aborting.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tov::runtime {

inline constexpr const char* kWorkerThreadsVariable = "TOKIO_WORKER_THREADS";

struct WorkerThreads {
  std::size_t count = 0;  // meaningful only when ok()
  std::string error;      // the whole fatal message otherwise
  bool ok() const noexcept { return error.empty(); }
};

// `raw` is the variable's value as raw bytes, or nullopt when it is unset;
// `cpus` is the processor count used when it is unset (at least 1 is used).
WorkerThreads worker_threads_from(std::optional<std::string_view> raw, std::size_t cpus);

// The same, for this process's environment and processors.
WorkerThreads worker_threads_from_env();

}  // namespace tov::runtime
