// One detection per processor architecture. On x86-64 the processor is asked
// directly (CPUID, and XGETBV for the registers the system saves): the
// compiler's __builtin_cpu_supports needs __cpu_model from a compiler
// runtime, which Zig's does not provide.
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
bool bit(unsigned word, int n) noexcept {
  return ((word >> n) & 1) != 0;
}

// The register state the system saves on a context switch (XCR0).
unsigned long long saved_state() noexcept {
  unsigned lo = 0, hi = 0;
  asm volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (static_cast<unsigned long long>(hi) << 32) | lo;
}

void detect_x86(CpuFeatures& features) noexcept {
  features.sse2 = true;
  unsigned a = 0, b = 0, c1 = 0, d = 0;
  __cpuid(1, a, b, c1, d);
  features.popcnt = bit(c1, 23);
  if (__get_cpuid_max(0, nullptr) < 7) return;
  unsigned b7 = 0, c7 = 0;
  __cpuid_count(7, 0, a, b7, c7, d);
  // SHA uses only XMM registers, whose saving every x86-64 system supports.
  features.sha = bit(c1, 9) && bit(c1, 19) && bit(b7, 29);
  const unsigned long long state = bit(c1, 27) ? saved_state() : 0;  // OSXSAVE
  const bool ymm = (state & 0x6) == 0x6;                             // XMM and YMM
  const bool zmm = ymm && (state & 0xe0) == 0xe0;                    // opmask, ZMM halves
  features.avx2 = ymm && bit(c1, 28) && bit(b7, 5);
  features.avx512f = zmm && bit(b7, 16);
  features.avx512bw = features.avx512f && bit(b7, 30);
}
#endif

CpuFeatures detect() noexcept {
  CpuFeatures features;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  detect_x86(features);
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
