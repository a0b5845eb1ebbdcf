#include "hasher/saved_state.h"

#include <algorithm>

namespace tov::hasher {

namespace texts = base::texts;

namespace {

std::uint64_t load_be(const std::uint8_t* in, std::size_t bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < bytes; ++i) value = (value << 8) | in[i];
  return value;
}

void store_be(std::uint8_t* out, std::uint64_t value, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) {
    out[i] = static_cast<std::uint8_t>(value >> (8 * (bytes - 1 - i)));
  }
}

}  // namespace

std::vector<std::uint8_t> save(const Words& words, std::uint64_t total,
                               std::span<const std::uint8_t> pending) {
  std::vector<std::uint8_t> out(kSavedHeaderSize + pending.size());
  std::copy_n(kSavedMagic, 4, out.data());
  out[4] = kSavedVersion;
  store_be(out.data() + 8, total, 8);
  for (std::size_t i = 0; i < 8; ++i) store_be(out.data() + 16 + 4 * i, words[i], 4);
  std::copy(pending.begin(), pending.end(), out.begin() + kSavedHeaderSize);
  return out;
}

base::Result<Sha256> restore(std::span<const std::uint8_t> saved) {
  if (saved.size() < kSavedHeaderSize) return texts::kSavedStateTooShort;
  if (!std::equal(kSavedMagic, kSavedMagic + 4, saved.data())) return texts::kSavedStateMagic;
  if (saved[4] != kSavedVersion) return texts::kSavedStateVersion;
  if (saved[5] != 0 || saved[6] != 0 || saved[7] != 0) return texts::kSavedStateReserved;
  const std::uint64_t total = load_be(saved.data() + 8, 8);
  if (total > kMaxMessageBytes) return texts::kSavedStateCountTooLarge;
  if (saved.size() != kSavedHeaderSize + total % kBlockSize) return texts::kSavedStateLength;
  Words words;
  for (std::size_t i = 0; i < 8; ++i) {
    words[i] = static_cast<std::uint32_t>(load_be(saved.data() + 16 + 4 * i, 4));
  }
  Sha256 state;
  state.assign(words, total, saved.subspan(kSavedHeaderSize));
  return state;
}

}  // namespace tov::hasher
