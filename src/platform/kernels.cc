#include "platform/kernels.h"

#include <cstdio>
#include <string>

#include "base/texts.h"
#include "platform/environment.h"

namespace tov::platform {

namespace {

constexpr KernelName kNames[] = {
    {"scalar", runs_anywhere}, {"sse2", runs_sse2},   {"avx2", runs_avx2},
    {"avx512", runs_avx512},   {"shani", runs_shani}, {"neon", runs_neon},
    {"armsha2", runs_armsha2},
};

// The variable's value when it names a kernel this processor runs; empty
// otherwise, after saying so (a forced kernel is asked for by a test or a
// bug report, whose author wants to know it did not take).
std::string_view read_forced_kernel() {
  const std::optional<std::string_view> value =
      environment(base::texts::kForcedKernelVariable.c_str());
  if (!value) return {};
  const CpuFeatures& cpu = cpu_features();
  for (const KernelName& kernel : kNames) {
    if (kernel.name == *value && kernel.runs(cpu)) return kernel.name;
  }
  std::string runs;
  for (const std::string_view name : runnable_kernels()) {
    runs += runs.empty() ? "" : ", ";
    runs += name;
  }
  std::fprintf(stderr,
               "tov-engine-native: %s=\"%.*s\" names no kernel this processor runs (%s); "
               "using the best of each\n",
               base::texts::kForcedKernelVariable.c_str(), static_cast<int>(value->size()),
               value->data(), runs.c_str());
  return {};
}

}  // namespace

std::span<const KernelName> kernel_names() noexcept {
  return kNames;
}

std::vector<std::string_view> runnable_kernels() {
  std::vector<std::string_view> names;
  for (const KernelName& kernel : kNames) {
    if (kernel.runs(cpu_features())) names.push_back(kernel.name);
  }
  return names;
}

std::string_view forced_kernel() noexcept {
  static const std::string_view forced = [] {
    try {
      return read_forced_kernel();
    } catch (...) {
      return std::string_view();  // no memory for the warning: ignore the variable
    }
  }();
  return forced;
}

}  // namespace tov::platform
