// Which lane kernels this build has and which the running processor can use.
#include "hashing/lanes.h"

#include <array>

#include "platform/platform.h"

#if defined(TOV_LANES_SHANI) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#elif defined(TOV_LANES_SHANI) && defined(_MSC_VER)
#include <intrin.h>
#endif

namespace tov::hashing::lanes {
namespace {

constexpr std::array kCompiled = {
    Kernel::kScalar,
#if defined(TOV_LANES_SHANI)
    Kernel::kShaNi,
#endif
#if defined(TOV_LANES_AVX512)
    Kernel::kAvx512,
#endif
#if defined(TOV_LANES_ARM_SHA2)
    Kernel::kArmSha2,
#endif
};

#if defined(TOV_LANES_SHANI)
// Asked of the processor directly: not every compiler's feature-test
// builtin knows the SHA extensions.
bool x86_has_sha() {
  unsigned leaf1[4] = {};
  unsigned leaf7[4] = {};
#if defined(_MSC_VER) && !defined(__clang__)
  int regs[4];
  __cpuid(regs, 0);
  if (regs[0] < 7) return false;
  __cpuid(regs, 1);
  leaf1[2] = static_cast<unsigned>(regs[2]);
  __cpuidex(regs, 7, 0);
  leaf7[1] = static_cast<unsigned>(regs[1]);
#else
  if (__get_cpuid_max(0, nullptr) < 7) return false;
  __cpuid(1, leaf1[0], leaf1[1], leaf1[2], leaf1[3]);
  __cpuid_count(7, 0, leaf7[0], leaf7[1], leaf7[2], leaf7[3]);
#endif
  const bool ssse3 = (leaf1[2] >> 9) & 1;
  const bool sse41 = (leaf1[2] >> 19) & 1;
  const bool sha = (leaf7[1] >> 29) & 1;
  return ssse3 && sse41 && sha;
}
#endif

bool cpu_has(Kernel kernel) {
  switch (kernel) {
    case Kernel::kScalar:
      return true;
    case Kernel::kShaNi:
#if defined(TOV_LANES_SHANI)
      return x86_has_sha();
#else
      return false;
#endif
    case Kernel::kArmSha2:
      return platform::arm_has_sha256_instructions();
    case Kernel::kAvx512:
#if defined(TOV_LANES_AVX512) && (defined(__GNUC__) || defined(__clang__))
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
#else
      return false;
#endif
  }
  return false;
}

}  // namespace

std::span<const Kernel> compiled_kernels() noexcept {
  return kCompiled;
}

const char* kernel_name(Kernel kernel) noexcept {
  switch (kernel) {
    case Kernel::kScalar:
      return "scalar";
    case Kernel::kShaNi:
      return "sha-ni";
    case Kernel::kArmSha2:
      return "armv8-sha2";
    case Kernel::kAvx512:
      return "avx512";
  }
  return "unknown";
}

bool kernel_supported(Kernel kernel) noexcept {
  for (Kernel k : kCompiled) {
    if (k == kernel) return cpu_has(kernel);
  }
  return false;
}

std::size_t max_lanes(Kernel kernel) noexcept {
  return kernel == Kernel::kScalar || kernel == Kernel::kAvx512 ? kMaxLanes : 4;
}

CompressFn compress_for(Kernel kernel) noexcept {
  if (!kernel_supported(kernel)) return compress_scalar;
  switch (kernel) {
#if defined(TOV_LANES_SHANI)
    case Kernel::kShaNi:
      return compress_shani;
#endif
#if defined(TOV_LANES_ARM_SHA2)
    case Kernel::kArmSha2:
      return compress_arm_sha2;
#endif
#if defined(TOV_LANES_AVX512)
    case Kernel::kAvx512:
      return compress_avx512;
#endif
    default:
      return compress_scalar;
  }
}

}  // namespace tov::hashing::lanes
