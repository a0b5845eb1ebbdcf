// Facts about the processor that the vector kernels choose by, and the
// processor's spin-wait hint. Detected once per process; every kernel
// dispatcher asks here, so that they all agree on what the machine can run.
#pragma once

namespace tov::platform {

struct CpuFeatures {
  // x86-64. SSE2 is part of the baseline; AVX2 and AVX-512 also need the
  // system to save their registers, which the detection checks.
  bool sse2 = false;
  bool popcnt = false;
  bool avx2 = false;
  bool avx512f = false;
  bool avx512bw = false;
  // arm64, where NEON is part of the baseline.
  bool neon = false;
};

const CpuFeatures& cpu_features() noexcept;

// Tells the processor that the caller is spinning on a flag another thread
// will set, which saves power and lets a sibling hardware thread run. A no-op
// on processors without such a hint.
void cpu_pause() noexcept;

}  // namespace tov::platform
