// SHA-256 from the project's own block kernels, for targets with no system
// digest and no libcrypto to link (the musl builds): one lane of the fastest
// single-message kernel this processor has (SHA-NI, ARMv8 SHA-2, else the
// portable reference).
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "hashing/digest.h"
#include "hashing/lanes.h"

namespace tov::hashing {

namespace {

constexpr std::size_t kBlock = 64;

lanes::CompressFn single_lane_kernel() {
  static const lanes::CompressFn chosen = [] {
    for (lanes::Kernel kernel : {lanes::Kernel::kShaNi, lanes::Kernel::kArmSha2}) {
      if (lanes::kernel_supported(kernel)) return lanes::compress_for(kernel);
    }
    return lanes::compress_for(lanes::Kernel::kScalar);
  }();
  return chosen;
}

// The running state of one message: chaining words, a partial block and the
// total length.
struct State {
  std::uint32_t words[8];
  std::uint8_t pending[kBlock];
  std::size_t pending_size = 0;
  std::uint64_t total = 0;

  State() { reset(); }

  void reset() {
    std::memcpy(words, lanes::kInitialState, sizeof(words));
    pending_size = 0;
    total = 0;
  }

  void compress(const std::uint8_t* blocks, std::size_t count) {
    std::uint32_t* state = words;
    single_lane_kernel()(&state, &blocks, 1, count);
  }

  void update(const std::uint8_t* data, std::size_t size) {
    total += size;
    if (pending_size != 0) {
      const std::size_t take = std::min(size, kBlock - pending_size);
      std::memcpy(pending + pending_size, data, take);
      pending_size += take;
      data += take;
      size -= take;
      if (pending_size < kBlock) return;
      compress(pending, 1);
      pending_size = 0;
    }
    if (size >= kBlock) {
      compress(data, size / kBlock);
      data += size - size % kBlock;
      size %= kBlock;
    }
    std::memcpy(pending, data, size);
    pending_size = size;
  }

  Digest finish() {
    const std::uint64_t bits = total * 8;
    std::uint8_t tail[2 * kBlock] = {};
    std::memcpy(tail, pending, pending_size);
    tail[pending_size] = 0x80;
    const std::size_t length = pending_size + 9 <= kBlock ? kBlock : 2 * kBlock;
    for (int i = 0; i < 8; ++i) tail[length - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
    compress(tail, length / kBlock);
    Digest digest;
    for (std::size_t i = 0; i < 8; ++i) {
      for (std::size_t b = 0; b < 4; ++b) {
        digest[4 * i + b] = static_cast<std::uint8_t>(words[i] >> (24 - 8 * b));
      }
    }
    reset();
    return digest;
  }
};

State* state_of(void* context) {
  return static_cast<State*>(context);
}

}  // namespace

Digest sha256(const void* data, std::size_t size) {
  State state;
  if (size != 0) state.update(static_cast<const std::uint8_t*>(data), size);
  return state.finish();
}

Sha256::Sha256() : context_(new State) {}

Sha256::~Sha256() {
  delete state_of(context_);
}

void Sha256::update(const void* data, std::size_t size) {
  if (size != 0) state_of(context_)->update(static_cast<const std::uint8_t*>(data), size);
}

Digest Sha256::finish() {
  return state_of(context_)->finish();
}

}  // namespace tov::hashing
