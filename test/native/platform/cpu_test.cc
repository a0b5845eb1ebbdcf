#include "platform/cpu.h"

#include <gtest/gtest.h>

namespace {

using tov::platform::cpu_features;

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
// GCC's own detection (libgcc's __cpu_model) is the reference: the direct
// CPUID and XGETBV reading must agree with it on every machine it runs on.
TEST(CpuFeatures, AgreeWithTheCompilersDetection) {
  __builtin_cpu_init();
  const auto& features = cpu_features();
  EXPECT_TRUE(features.sse2);
  EXPECT_EQ(features.popcnt, __builtin_cpu_supports("popcnt") != 0);
  EXPECT_EQ(features.avx2, __builtin_cpu_supports("avx2") != 0);
  EXPECT_EQ(features.avx512f, __builtin_cpu_supports("avx512f") != 0);
  EXPECT_EQ(features.avx512bw, __builtin_cpu_supports("avx512bw") != 0);
  if (features.sha) {
    EXPECT_TRUE(__builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1"));
  }
  EXPECT_FALSE(features.neon || features.arm_sha2);
}
#endif

TEST(CpuFeatures, WiderVectorsImplyTheNarrowerOnes) {
  const auto& features = cpu_features();
  EXPECT_TRUE(!features.avx512bw || features.avx512f);
  EXPECT_TRUE(!features.avx512f || features.avx2);
  EXPECT_TRUE(!features.avx2 || features.sse2);
}

}  // namespace
