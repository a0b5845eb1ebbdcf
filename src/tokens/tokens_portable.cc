// Kernel for CPUs without a vector kernel: one table lookup per byte, packed
// into the same block masks the vector kernels produce.
#include <array>
#include <cstddef>
#include <cstdint>

#include "tokens/tokens_blocks.h"
#include "tokens/tokens_kernels.h"

namespace tov::tokens::kernels {
namespace {

using blocks::BlockMasks;

// Bit 0: word byte; bit 1: non-blank byte.
constexpr std::array<std::uint8_t, 256> make_class_table() {
  std::array<std::uint8_t, 256> table{};
  for (unsigned b = 0; b < 256; ++b) {
    const auto byte = static_cast<std::uint8_t>(b);
    table[b] = static_cast<std::uint8_t>((blocks::is_word_byte(byte) ? 1 : 0) |
                                         (blocks::is_blank_byte(byte) ? 0 : 2));
  }
  return table;
}
constexpr std::array<std::uint8_t, 256> kClass = make_class_table();

struct PortableLoader {
  static BlockMasks partial(const unsigned char* p, std::size_t n) {
    std::uint64_t word = 0;
    std::uint64_t nonblank = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t c = kClass[p[i]];
      word |= (c & 1) << i;
      nonblank |= (c >> 1) << i;
    }
    return {word, nonblank};
  }
  static BlockMasks full(const unsigned char* p) { return partial(p, blocks::kBlockBytes); }
};

}  // namespace

std::uint32_t count_portable(const unsigned char* data, std::size_t size,
                             bool previous_word) noexcept {
  return blocks::count_blocks<PortableLoader>(data, size, previous_word);
}

std::size_t walk_portable(const unsigned char* data, std::size_t size, WalkState& state) noexcept {
  return blocks::walk_blocks<PortableLoader>(data, size, state);
}

}  // namespace tov::tokens::kernels
