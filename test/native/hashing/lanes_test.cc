#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "hashing/digest.h"
#include "hashing/lanes.h"
#include "hashing/multi_digest.h"

namespace tov::hashing {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes pattern(std::size_t size, std::uint32_t seed) {
  Bytes out(size);
  std::mt19937 random(seed);
  for (auto& b : out) b = static_cast<std::uint8_t>(random());
  return out;
}

// Every (kernel, lane count) pair the processor can run.
struct Variant {
  lanes::Kernel kernel;
  std::size_t lanes;
};

std::vector<Variant> variants() {
  std::vector<Variant> out;
  for (lanes::Kernel k : lanes::compiled_kernels()) {
    if (!lanes::kernel_supported(k)) continue;
    for (std::size_t n = 1; n <= lanes::max_lanes(k); ++n) out.push_back({k, n});
  }
  return out;
}

std::string label(const Variant& v) {
  return std::string(lanes::kernel_name(v.kernel)) + " x" + std::to_string(v.lanes);
}

void expect_like_single_stream(const std::vector<Bytes>& messages, const Variant& v) {
  std::vector<std::span<const std::uint8_t>> views(messages.begin(), messages.end());
  std::vector<Digest> digests(messages.size());
  sha256_messages(views, digests.data(), v.kernel, v.lanes);
  for (std::size_t i = 0; i < messages.size(); ++i) {
    ASSERT_EQ(to_hex(digests[i]), to_hex(sha256(messages[i].data(), messages[i].size())))
        << label(v) << ", message " << i << " of " << messages[i].size() << " bytes";
  }
}

TEST(HashingLanes, EveryKernelIsReportedAndTheProcessorsOwnIsUsable) {
  const auto compiled = lanes::compiled_kernels();
  ASSERT_FALSE(compiled.empty());
  EXPECT_EQ(compiled.front(), lanes::Kernel::kScalar);
  EXPECT_TRUE(lanes::kernel_supported(lanes::Kernel::kScalar));
  const LanePlan& plan = lane_plan();
  bool hardware = false;
  for (lanes::Kernel k : compiled)
    hardware |= k != lanes::Kernel::kScalar && lanes::kernel_supported(k);
  EXPECT_EQ(plan.worthwhile, hardware);
  ASSERT_GE(plan.lanes, 1u);
  ASSERT_LE(plan.lanes, lanes::kMaxLanes);
  for (std::size_t n = 1; n <= plan.lanes; ++n) {
    EXPECT_TRUE(lanes::kernel_supported(plan.kernel_for[n])) << n;
    EXPECT_EQ(plan.kernel_for[n] != lanes::Kernel::kScalar, hardware) << n;
  }
}

TEST(HashingLanes, EveryLengthUpToFourBlocksOverEveryVariant) {
  // All lengths 0..300 in one set: neighbouring lanes end at different
  // padding edges (55, 56, 63, 64, 119, 120) in the same step.
  std::vector<Bytes> messages;
  for (std::size_t size = 0; size <= 300; ++size) messages.push_back(pattern(size, 7 + size));
  for (const Variant& v : variants()) expect_like_single_stream(messages, v);
}

TEST(HashingLanes, LanesOfVeryDifferentLengthsAndLongMessages) {
  // A long message in one lane while short ones come and go in the others,
  // then several long ones side by side.
  std::vector<Bytes> messages = {pattern(1 << 20, 1)};
  for (std::size_t i = 0; i < 40; ++i) messages.push_back(pattern(i * 97 % 4100, 100 + i));
  messages.push_back(pattern(3 * 65536 + 17, 2));
  messages.push_back(pattern(3 * 65536 + 55, 3));
  messages.push_back(pattern(3 * 65536 + 64, 4));
  messages.push_back(pattern(3 * 65536 + 120, 5));
  messages.push_back({});
  for (const Variant& v : variants()) expect_like_single_stream(messages, v);
}

TEST(HashingLanes, KernelsTakingTurnsStepByStep) {
  // The lane state is shared by every kernel: as lanes drain, the steps
  // switch kernels in the middle of messages.
  std::vector<Bytes> messages;
  for (std::size_t i = 0; i < 70; ++i) messages.push_back(pattern(i * 211 % 9000, 900 + i));
  std::vector<lanes::Kernel> supported;
  for (lanes::Kernel k : lanes::compiled_kernels()) {
    if (lanes::kernel_supported(k)) supported.push_back(k);
  }
  LanePlan plan;
  plan.lanes = lanes::kMaxLanes;
  for (std::size_t n = 1; n <= lanes::kMaxLanes; ++n)
    plan.kernel_for[n] = supported[n % supported.size()];
  std::vector<std::span<const std::uint8_t>> views(messages.begin(), messages.end());
  std::vector<Digest> digests(messages.size());
  sha256_messages(views, digests.data(), plan);
  for (std::size_t i = 0; i < messages.size(); ++i) {
    ASSERT_EQ(digests[i], sha256(messages[i].data(), messages[i].size())) << i;
  }
}

// Hands out each message in pieces of the given sizes (cycled), dropping the
// messages marked to fail after their first piece.
class PieceSource final : public MessageSource {
 public:
  PieceSource(const std::vector<Bytes>& messages, std::vector<std::size_t> pieces,
              std::vector<bool> fails)
      : messages_(messages),
        pieces_(std::move(pieces)),
        fails_(std::move(fails)),
        digests_(messages.size()),
        done_(messages.size(), false) {}

  bool open(std::size_t lane) override {
    if (next_ == messages_.size()) return false;
    current_[lane] = next_++;
    offset_[lane] = 0;
    return true;
  }
  bool read(std::size_t lane, std::span<const std::uint8_t>& bytes) override {
    const std::size_t m = current_[lane];
    if (fails_[m] && offset_[lane] != 0) return false;
    const std::size_t size =
        std::min(pieces_[turn_++ % pieces_.size()], messages_[m].size() - offset_[lane]);
    bytes = std::span(messages_[m]).subspan(offset_[lane], size);
    offset_[lane] += size;
    return true;
  }
  void finish(std::size_t lane, const Digest& digest) override {
    digests_[current_[lane]] = digest;
    done_[current_[lane]] = true;
  }

  const std::vector<Bytes>& messages_;
  std::vector<std::size_t> pieces_;
  std::vector<bool> fails_;
  std::vector<Digest> digests_;
  std::vector<bool> done_;
  std::size_t next_ = 0;
  std::size_t turn_ = 0;
  std::size_t current_[lanes::kMaxLanes] = {};
  std::size_t offset_[lanes::kMaxLanes] = {};
};

TEST(HashingLanes, PiecesThatStraddleBlocksAndDroppedMessages) {
  std::vector<Bytes> messages;
  std::vector<bool> fails;
  for (std::size_t i = 0; i < 60; ++i) {
    messages.push_back(pattern(i * 61 % 700 + (i % 3) * 4096, 300 + i));
    fails.push_back(i % 7 == 3 && !messages.back().empty());
  }
  for (const Variant& v : variants()) {
    PieceSource source(messages, {1, 63, 64, 65, 200, 7, 128, 4096}, fails);
    hash_messages(source, v.kernel, v.lanes);
    for (std::size_t i = 0; i < messages.size(); ++i) {
      if (fails[i]) {
        EXPECT_FALSE(source.done_[i]) << label(v) << ", message " << i;
        continue;
      }
      ASSERT_TRUE(source.done_[i]) << label(v) << ", message " << i;
      EXPECT_EQ(to_hex(source.digests_[i]), to_hex(sha256(messages[i].data(), messages[i].size())))
          << label(v) << ", message " << i;
    }
  }
}

TEST(HashingLanes, NoMessagesAndEveryKernelMeasures) {
  for (const Variant& v : variants()) {
    sha256_messages({}, nullptr, v.kernel, v.lanes);
    EXPECT_GT(measure_lanes(v.kernel, v.lanes), 0.0) << label(v);
  }
}

}  // namespace
}  // namespace tov::hashing
