#include "hasher/sha256.h"

#include <algorithm>
#include <cstring>

#include "platform/kernels.h"

namespace tov::hasher {

namespace lanes = hashing::lanes;

namespace {

void store_be(std::uint8_t* out, std::uint64_t value, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) {
    out[i] = static_cast<std::uint8_t>(value >> (8 * (bytes - 1 - i)));
  }
}

// No vector kernel here: with one lane it only adds the cost of its
// shuffles, so TOV_ENGINE_KERNEL=avx512 leaves the hasher on its best.
constexpr platform::KernelOption<lanes::Kernel> kSingleStream[] = {
#if defined(TOV_LANES_SHANI)
    {"shani", platform::runs_shani, lanes::Kernel::kShaNi},
#endif
#if defined(TOV_LANES_ARM_SHA2)
    {"armsha2", platform::runs_armsha2, lanes::Kernel::kArmSha2},
#endif
    {"scalar", platform::runs_anywhere, lanes::Kernel::kScalar},
};

lanes::CompressFn single_stream_fn() noexcept {
  static const lanes::CompressFn fn = lanes::compress_for(single_stream_kernel());
  return fn;
}

void run(lanes::CompressFn fn, Words& words, const std::uint8_t* data, std::size_t blocks) {
  if (blocks == 0) return;
  std::uint32_t* states[1] = {words};
  const std::uint8_t* inputs[1] = {data};
  fn(states, inputs, 1, blocks);
}

}  // namespace

lanes::Kernel single_stream_kernel() noexcept {
  return platform::choose_kernel(kSingleStream).entry;
}

void compress(Words& words, const std::uint8_t* data, std::size_t blocks) noexcept {
  run(single_stream_fn(), words, data, blocks);
}

void compress_with(lanes::Kernel kernel, Words& words, const std::uint8_t* data,
                   std::size_t blocks) noexcept {
  run(lanes::compress_for(kernel), words, data, blocks);
}

hashing::Digest digest_of(const Words& words) noexcept {
  hashing::Digest digest;
  for (std::size_t i = 0; i < 8; ++i) store_be(digest.data() + 4 * i, words[i], 4);
  return digest;
}

hashing::Digest finish(Words& words, std::span<const std::uint8_t> tail,
                       std::uint64_t total) noexcept {
  const std::size_t whole = tail.size() / kBlockSize;
  compress(words, tail.data(), whole);
  tail = tail.subspan(whole * kBlockSize);

  // The padding: 0x80, zeros up to 56 bytes into a block, then the length
  // in bits; one block, or two when the tail leaves no room for the length.
  std::uint8_t last[2 * kBlockSize] = {};
  if (!tail.empty()) std::memcpy(last, tail.data(), tail.size());
  last[tail.size()] = 0x80;
  const std::size_t blocks = tail.size() < kBlockSize - 8 ? 1 : 2;
  store_be(last + blocks * kBlockSize - 8, total << 3, 8);
  compress(words, last, blocks);
  return digest_of(words);
}

void Sha256::reset() noexcept {
  std::copy_n(lanes::kInitialState, 8, words_);
  count_ = 0;
}

void Sha256::update(const std::uint8_t* data, std::size_t size) noexcept {
  if (size == 0) return;
  std::size_t used = static_cast<std::size_t>(count_ % kBlockSize);
  count_ += size;
  if (used != 0) {
    const std::size_t take = std::min(size, kBlockSize - used);
    std::memcpy(pending_ + used, data, take);
    data += take;
    size -= take;
    used += take;
    if (used < kBlockSize) return;
    compress(words_, pending_, 1);
  }
  const std::size_t whole = size / kBlockSize;
  compress(words_, data, whole);
  if (size % kBlockSize != 0) std::memcpy(pending_, data + whole * kBlockSize, size % kBlockSize);
}

hashing::Digest Sha256::finish() noexcept {
  const hashing::Digest digest = hasher::finish(words_, pending(), count_);
  reset();
  return digest;
}

void Sha256::assign(const Words& words, std::uint64_t total,
                    std::span<const std::uint8_t> pending) noexcept {
  std::copy_n(words, 8, words_);
  count_ = total;
  const std::size_t used = std::min(pending.size(), static_cast<std::size_t>(total % kBlockSize));
  if (used != 0) std::memcpy(pending_, pending.data(), used);
}

}  // namespace tov::hasher
