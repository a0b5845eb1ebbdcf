// One detection per processor architecture; the compiler's builtins do the
// CPUID and operating-system checks on x86-64.
#include "platform/cpu.h"

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#define TOV_CPU_X86 1
#include <immintrin.h>
#if defined(__GNUC__) || defined(__clang__)
#include <cpuid.h>
#endif
#endif

#if defined(__aarch64__) && defined(__linux__)
#include <sys/auxv.h>
#endif

namespace tov::platform {

namespace {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// Asked of the processor directly: not every compiler's feature builtin
// knows the SHA extensions. They use only XMM registers, whose saving every
// x86-64 system supports.
bool x86_has_sha() noexcept {
  if (__get_cpuid_max(0, nullptr) < 7) return false;
  unsigned a = 0, b = 0, c = 0, d = 0;
  __cpuid(1, a, b, c, d);
  const bool ssse3 = (c >> 9) & 1;
  const bool sse41 = (c >> 19) & 1;
  __cpuid_count(7, 0, a, b, c, d);
  return ssse3 && sse41 && ((b >> 29) & 1);
}
#endif

CpuFeatures detect() noexcept {
  CpuFeatures features;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  __builtin_cpu_init();
  features.sse2 = true;
  features.popcnt = __builtin_cpu_supports("popcnt");
  features.avx2 = __builtin_cpu_supports("avx2");
  features.avx512f = __builtin_cpu_supports("avx512f");
  features.avx512bw = __builtin_cpu_supports("avx512bw");
  features.sha = x86_has_sha();
#elif defined(__x86_64__) || defined(_M_X64)
  // Without the builtins only the baseline is known for sure.
  features.sse2 = true;
#elif defined(__aarch64__) || defined(_M_ARM64)
  features.neon = true;
#if defined(__linux__)
  constexpr unsigned long kHwcapSha2 = 1UL << 6;  // HWCAP_SHA2 of the arm64 kernel ABI
  features.arm_sha2 = (getauxval(AT_HWCAP) & kHwcapSha2) != 0;
#elif defined(__APPLE__)
  features.arm_sha2 = true;  // every arm64 Mac has them
#endif
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
