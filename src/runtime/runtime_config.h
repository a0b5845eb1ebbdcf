// How many threads each pool gets, from the environment: the background
// runtime's workers (TOKIO_WORKER_THREADS, read when the runtime is built; a
// bad value is fatal, so the error carries the whole message for the caller
// to print before aborting) and the data-parallel pool (RAYON_NUM_THREADS,
// then RAYON_RS_NUM_CPUS, read when it starts; a bad value is ignored).
// Counts are decimal digits with one optional leading "+", nothing else.
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

// The data-parallel pool's count from its two settings (nullopt = unset):
// RAYON_NUM_THREADS above 0 gives that many; exactly 0 gives `cpus`; unset
// or not a number falls through to RAYON_RS_NUM_CPUS above 0; otherwise
// `cpus` (at least 1). Counts above the cap are lowered to it.
std::size_t pool_threads_from(std::optional<std::string_view> rayon_num_threads,
                              std::optional<std::string_view> rayon_rs_num_cpus, std::size_t cpus);

// The same, for this process's environment and processors.
std::size_t pool_threads_from_env();

}  // namespace tov::runtime
