// How many worker threads the background runtime gets. The count comes from
// the environment when the runtime is built; a bad value is fatal, so the
// error carries the whole message for the caller to print before aborting.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "base/result.h"

namespace tov::runtime {

// The most threads a count from the environment gets: a count past what any
// machine runs at once only exhausts the system's threads (and then its
// memory) before the first call. Machines with more processors than this
// get one per processor.
inline constexpr std::size_t kThreadCountCap = 512;

// `requested` lowered to the cap that applies with `cpus` processors.
std::size_t capped_thread_count(std::size_t requested, std::size_t cpus);

// `raw` is the variable's value as raw bytes, or nullopt when it is unset;
// `cpus` is the processor count used when it is unset (at least 1 is used).
// A valid count above the cap is lowered to it.
base::Result<std::size_t> worker_threads_from(std::optional<std::string_view> raw,
                                              std::size_t cpus);

// The same, for this process's environment and processors.
base::Result<std::size_t> worker_threads_from_env();

}  // namespace tov::runtime
