// An incremental SHA-256 whose whole state is plain data: the eight working
// words, the count of bytes taken and the bytes of the block not yet
// complete. Hosts whose digest library exposes no state (the system's digest
// on Windows) still get the same state, and the saved form (saved_state.h)
// is the same on every platform.
//
// The block compression is the project's own: the lane kernels of
// hashing/lanes.h run with one lane.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "hashing/digest.h"
#include "hashing/lanes.h"

namespace tov::hasher {

inline constexpr std::size_t kBlockSize = 64;

// SHA-256 takes messages shorter than 2^64 bits.
inline constexpr std::uint64_t kMaxMessageBytes = (std::uint64_t{1} << 61) - 1;

using Words = std::uint32_t[8];

// The kernel one stream of blocks runs on: the processor's SHA instructions
// where it has them, else the portable one, or the one of these that
// TOV_ENGINE_KERNEL forces (platform/kernels.h). (The vector kernels earn
// their speed from many lanes and are slower than the portable one with a
// single lane.)
hashing::lanes::Kernel single_stream_kernel() noexcept;

// Compresses `blocks` consecutive 64-byte blocks of `data` into `words`.
void compress(Words& words, const std::uint8_t* data, std::size_t blocks) noexcept;
// The same on a chosen kernel, so that tests can run each one; an
// unsupported kernel falls back to the portable one.
void compress_with(hashing::lanes::Kernel kernel, Words& words, const std::uint8_t* data,
                   std::size_t blocks) noexcept;

// Ends a message: `tail` is what follows the blocks already compressed into
// `words` (any length; whole blocks in it are compressed first) and `total`
// the message's whole length in bytes. `words` are left as the digest's words.
hashing::Digest finish(Words& words, std::span<const std::uint8_t> tail,
                       std::uint64_t total) noexcept;

// The digest bytes of final words: each word big-endian.
hashing::Digest digest_of(const Words& words) noexcept;

// Plain-data incremental digest for native callers and tests.
class Sha256 {
 public:
  Sha256() noexcept { reset(); }

  void reset() noexcept;
  void update(const std::uint8_t* data, std::size_t size) noexcept;
  void update(std::span<const std::uint8_t> bytes) noexcept { update(bytes.data(), bytes.size()); }
  // The digest of everything taken since the last reset; resets.
  hashing::Digest finish() noexcept;

  const Words& words() const noexcept { return words_; }
  std::uint64_t count() const noexcept { return count_; }
  // The bytes of the incomplete block: count() % 64 of them.
  std::span<const std::uint8_t> pending() const noexcept {
    return {pending_, static_cast<std::size_t>(count_ % kBlockSize)};
  }
  // Takes a state as it was saved; `pending` holds total % 64 bytes.
  void assign(const Words& words, std::uint64_t total,
              std::span<const std::uint8_t> pending) noexcept;

 private:
  Words words_;
  std::uint64_t count_;
  std::uint8_t pending_[kBlockSize];
};

}  // namespace tov::hasher
