// One detection per processor architecture; the compiler's builtins do the
// CPUID and operating-system checks on x86-64.
#include "platform/cpu.h"

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#define TOV_CPU_X86 1
#include <immintrin.h>
#endif

namespace tov::platform {

namespace {

CpuFeatures detect() noexcept {
  CpuFeatures features;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  __builtin_cpu_init();
  features.sse2 = true;
  features.popcnt = __builtin_cpu_supports("popcnt");
  features.avx2 = __builtin_cpu_supports("avx2");
  features.avx512f = __builtin_cpu_supports("avx512f");
  features.avx512bw = __builtin_cpu_supports("avx512bw");
#elif defined(__x86_64__) || defined(_M_X64)
  // Without the builtins only the baseline is known for sure.
  features.sse2 = true;
#elif defined(__aarch64__) || defined(_M_ARM64)
  features.neon = true;
#endif
  return features;
}

}  // namespace

const CpuFeatures& cpu_features() noexcept {
  static const CpuFeatures features = detect();
  return features;
}

void cpu_pause() noexcept {
#if defined(TOV_CPU_X86)
  _mm_pause();
#elif defined(__aarch64__) && (defined(__GNUC__) || defined(__clang__))
  asm volatile("yield");
#endif
}

}  // namespace tov::platform
