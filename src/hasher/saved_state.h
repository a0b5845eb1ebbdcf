// The saved form of a hasher's state, so that a digest can go on in another
// process, on another machine or after a restart (resuming an interrupted
// upload). Version 1, all numbers big-endian:
//
//   offset  size  content
//        0     4  magic: the ASCII bytes "tovh"
//        4     1  version: 1
//        5     3  reserved, zero
//        8     8  bytes taken so far (less than 2^61)
//       16    32  the working words H0..H7
//       48     n  the bytes of the incomplete block, n = (bytes taken) mod 64
//
// The whole form is 48 + n bytes; nothing else is accepted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/result.h"
#include "hasher/sha256.h"

namespace tov::hasher {

inline constexpr std::uint8_t kSavedMagic[4] = {'t', 'o', 'v', 'h'};
inline constexpr std::uint8_t kSavedVersion = 1;
inline constexpr std::size_t kSavedHeaderSize = 48;

// The saved form of words, a byte count and the incomplete block (whose size
// must be total % 64).
std::vector<std::uint8_t> save(const Words& words, std::uint64_t total,
                               std::span<const std::uint8_t> pending);
inline std::vector<std::uint8_t> save(const Sha256& state) {
  return save(state.words(), state.count(), state.pending());
}

// The state a saved form holds, or why it is not one.
base::Result<Sha256> restore(std::span<const std::uint8_t> saved);

}  // namespace tov::hasher
