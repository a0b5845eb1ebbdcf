// Choosing among the vector kernels of one family (lanes, the single-lane
// hasher, tokens, UTF-8):
// each family lists its kernels best first with the processor features they
// need, and the first the processor runs is taken, unless TOV_ENGINE_KERNEL
// names another that it runs. The choice is a pure function of the
// processor and that variable, made once per process by each family.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "platform/cpu.h"

namespace tov::platform {

using CpuTest = bool (*)(const CpuFeatures&) noexcept;

// One kernel of a family: its name as TOV_ENGINE_KERNEL spells it, what the
// processor must have to run it, and what the family calls.
template <class Entry>
struct KernelOption {
  std::string_view name;
  CpuTest runs;
  Entry entry;
};

// The names TOV_ENGINE_KERNEL takes, each with the processor features it
// needs: "scalar" (the portable code, everywhere), "sse2", "avx2", "avx512"
// (F and BW), "shani", "neon", "armsha2".
struct KernelName {
  std::string_view name;
  CpuTest runs;
};
std::span<const KernelName> kernel_names() noexcept;

// The names of kernels this processor runs, in the order above.
std::vector<std::string_view> runnable_kernels();

// The kernel TOV_ENGINE_KERNEL forces, or an empty name when it is unset.
// A value that names no kernel, or one this processor cannot run, is
// reported once on standard error and ignored: every family takes its best.
std::string_view forced_kernel() noexcept;

// The forced kernel when `best_first` has one by that name and the processor
// runs it; otherwise the first option the processor runs. The last option
// must run everywhere.
template <class Entry>
const KernelOption<Entry>& choose_kernel(std::span<const KernelOption<Entry>> best_first) noexcept {
  const CpuFeatures& cpu = cpu_features();
  const std::string_view forced = forced_kernel();
  if (!forced.empty()) {
    for (const KernelOption<Entry>& option : best_first) {
      if (option.name == forced && option.runs(cpu)) return option;
    }
  }
  for (const KernelOption<Entry>& option : best_first) {
    if (option.runs(cpu)) return option;
  }
  return best_first.back();
}

template <class Entry, std::size_t N>
const KernelOption<Entry>& choose_kernel(const KernelOption<Entry> (&best_first)[N]) noexcept {
  return choose_kernel(std::span<const KernelOption<Entry>>(best_first));
}

// The processor tests of the names above.
inline bool runs_anywhere(const CpuFeatures&) noexcept {
  return true;
}
inline bool runs_sse2(const CpuFeatures& cpu) noexcept {
  return cpu.sse2;
}
inline bool runs_avx2(const CpuFeatures& cpu) noexcept {
  return cpu.avx2;
}
inline bool runs_avx512(const CpuFeatures& cpu) noexcept {
  return cpu.avx512f && cpu.avx512bw;
}
inline bool runs_shani(const CpuFeatures& cpu) noexcept {
  return cpu.sha;
}
inline bool runs_neon(const CpuFeatures& cpu) noexcept {
  return cpu.neon;
}
inline bool runs_armsha2(const CpuFeatures& cpu) noexcept {
  return cpu.arm_sha2;
}

}  // namespace tov::platform
