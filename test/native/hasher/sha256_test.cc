#include "hasher/sha256.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "hashing/digest.h"
#include "hashing/lanes.h"

namespace tov::hasher {
namespace {

namespace lanes = hashing::lanes;
using Bytes = std::vector<std::uint8_t>;

Bytes pattern(std::size_t size, std::uint32_t seed) {
  Bytes out(size);
  std::mt19937 random(seed);
  for (auto& b : out) b = static_cast<std::uint8_t>(random());
  return out;
}

hashing::Digest one_shot(const Bytes& bytes) {
  return hashing::sha256(bytes.data(), bytes.size());
}

TEST(HasherCompress, EveryKernelThisProcessorRunsGivesTheSameWords) {
  const Bytes data = pattern(64 * 37, 1);
  Words expected;
  std::copy_n(lanes::kInitialState, 8, expected);
  compress_with(lanes::Kernel::kScalar, expected, data.data(), 37);
  for (lanes::Kernel kernel : lanes::compiled_kernels()) {
    if (!lanes::kernel_supported(kernel)) continue;
    for (std::size_t blocks : {0, 1, 2, 37}) {
      Words reference;
      Words words;
      std::copy_n(lanes::kInitialState, 8, reference);
      std::copy_n(lanes::kInitialState, 8, words);
      compress_with(lanes::Kernel::kScalar, reference, data.data(), blocks);
      compress_with(kernel, words, data.data(), blocks);
      EXPECT_TRUE(std::equal(words, words + 8, reference))
          << lanes::kernel_name(kernel) << " " << blocks;
    }
  }
  EXPECT_NE(single_stream_kernel(), lanes::Kernel::kAvx512);
}

TEST(HasherFinish, TailsOfEveryLengthAcrossThePaddingEdges) {
  const Bytes data = pattern(300, 2);
  for (std::size_t n = 0; n <= data.size(); ++n) {
    Words words;
    std::copy_n(lanes::kInitialState, 8, words);
    const hashing::Digest digest = finish(words, {data.data(), n}, n);
    EXPECT_EQ(digest, hashing::sha256(data.data(), n)) << n;
    EXPECT_EQ(digest_of(words), digest);
  }
}

TEST(HasherSha256, EveryTwoPieceSplitAndRandomSplitsMatchTheOneShotDigest) {
  const Bytes data = pattern(300, 3);
  for (std::size_t n = 0; n <= data.size(); ++n) {
    const hashing::Digest expected = hashing::sha256(data.data(), n);
    for (std::size_t at = 0; at <= n; ++at) {
      Sha256 state;
      state.update(data.data(), at);
      state.update(data.data() + at, n - at);
      ASSERT_EQ(state.finish(), expected) << n << " split at " << at;
    }
  }
  std::mt19937 random(4);
  const Bytes big = pattern(1 << 20, 5);
  Sha256 state;
  for (int round = 0; round < 3; ++round) {
    for (std::size_t at = 0; at < big.size();) {
      const std::size_t size = std::min<std::size_t>(big.size() - at, random() % 5000);
      state.update(big.data() + at, size);
      at += size;
    }
    EXPECT_EQ(state.count(), 0u + big.size());
    EXPECT_EQ(state.finish(), one_shot(big));  // and resets for the next round
  }
}

}  // namespace
}  // namespace tov::hasher
