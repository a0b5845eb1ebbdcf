// Which lane kernels this build has and which the running processor can use.
#include "hashing/lanes.h"

#include <array>

#include "platform/kernels.h"

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

bool cpu_has(Kernel kernel) {
  const platform::CpuFeatures& cpu = platform::cpu_features();
  switch (kernel) {
    case Kernel::kScalar:
      return platform::runs_anywhere(cpu);
    case Kernel::kShaNi:
      return platform::runs_shani(cpu);
    case Kernel::kArmSha2:
      return platform::runs_armsha2(cpu);
    case Kernel::kAvx512:
      return platform::runs_avx512(cpu);
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
      return "shani";
    case Kernel::kArmSha2:
      return "armsha2";
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
