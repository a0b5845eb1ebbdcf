// Internal: byte classes and the 64-byte block loop shared by all kernels.
//
// A kernel only has to turn 64 bytes into two bit masks (bit i = byte i):
// the word bytes W and the non-blank bytes N. A byte starts a token when it
// is non-blank and not a word byte that follows a word byte:
//
//   starts = N & ~(W & ((W << 1) | carry))
//
// where carry is 1 when the byte before the block is a word byte. Counting is
// then a popcount per block, and the budget walk finds the block in which the
// running count crosses the budget and selects the crossing bit within it.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tokens/tokens_kernels.h"

namespace tov::tokens::blocks {

// The class tests use 8-bit wrap-around so that each range check is one
// unsigned comparison.
constexpr bool is_letter(std::uint8_t b) {
  return static_cast<std::uint8_t>((b & 0xDF) - 0x41) < 26;
}
constexpr bool is_digit(std::uint8_t b) {
  return static_cast<std::uint8_t>(b - 0x30) < 10;
}
constexpr bool is_word_byte(std::uint8_t b) {
  return is_letter(b) || is_digit(b) || b == 0x5F;
}
// (b & 0xFB) == 0x09 admits exactly tab (0x09) and carriage return (0x0D).
constexpr bool is_blank_byte(std::uint8_t b) {
  return b == 0x20 || b == 0x0A || (b & 0xFB) == 0x09;
}

// Nibble tables for the shuffle-based kernels: a byte's class bits are
// kLowNibble[b & 15] & kHighNibble[b >> 4]. Each bit stands for one rectangle
// of (high nibble set) x (low nibble set), so no byte picks up a bit by
// accident:
//   0x01  high 4,6  x low 1..F   A-O a-o
//   0x02  high 5,7  x low 0..A   P-Z p-z
//   0x04  high 3    x low 0..9   digits
//   0x08  high 5    x low F      underscore
//   0x40  high 2    x low 0      space
//   0x80  high 0    x low 9,A,D  tab, line feed, carriage return
// Bytes 0x80..0xFF have an empty high-nibble entry and so are symbols.
inline constexpr std::uint8_t kWordBits = 0x0F;
inline constexpr std::uint8_t kBlankBits = 0xC0;
inline constexpr std::array<std::uint8_t, 16> kLowNibble = {
    0x46, 0x07, 0x07, 0x07, 0x07, 0x07, 0x07, 0x07, 0x07, 0x87, 0x83, 0x01, 0x01, 0x81, 0x01, 0x09};
inline constexpr std::array<std::uint8_t, 16> kHighNibble = {
    0x80, 0x00, 0x40, 0x04, 0x01, 0x0A, 0x01, 0x02, 0, 0, 0, 0, 0, 0, 0, 0};

constexpr bool nibble_tables_match_rule() {
  for (unsigned b = 0; b < 256; ++b) {
    const unsigned bits = kLowNibble[b & 15] & kHighNibble[b >> 4];
    const bool word = (bits & kWordBits) != 0;
    const bool blank = (bits & kBlankBits) != 0;
    if (word != is_word_byte(static_cast<std::uint8_t>(b)) ||
        blank != is_blank_byte(static_cast<std::uint8_t>(b)) || (word && blank)) {
      return false;
    }
  }
  return true;
}
static_assert(nibble_tables_match_rule());

inline constexpr std::size_t kBlockBytes = 64;

struct BlockMasks {
  std::uint64_t word;      // letters, digits, underscore
  std::uint64_t nonblank;  // word and symbol bytes
};

constexpr std::uint64_t token_starts(BlockMasks m, std::uint64_t carry) {
  return m.nonblank & ~(m.word & ((m.word << 1) | carry));
}

constexpr std::uint64_t low_bits(std::size_t n) {
  return n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
}

// Position of set bit number `n` (from 0) of `bits`; n < popcount(bits).
// Runs once per walk, so a short loop beats a dependency on BMI2.
constexpr unsigned nth_set_bit(std::uint64_t bits, std::uint64_t n) {
  for (; n != 0; --n) bits &= bits - 1;
  return static_cast<unsigned>(std::countr_zero(bits));
}

// For kernels that can only classify whole blocks: classify a zero-padded
// copy and drop the padding bits (zero bytes are symbols).
template <class Loader>
inline BlockMasks partial_via_copy(const unsigned char* p, std::size_t n) {
  alignas(64) unsigned char buf[kBlockBytes] = {};
  std::memcpy(buf, p, n);
  const BlockMasks m = Loader::full(buf);
  const std::uint64_t valid = low_bits(n);
  return {m.word & valid, m.nonblank & valid};
}

// Loader provides:
//   static BlockMasks full(const unsigned char* p);                  64 bytes
//   static BlockMasks partial(const unsigned char* p, std::size_t n); 0 < n < 64,
//     bits at n and above clear.
// Callers instantiate these inside functions carrying the kernel's target
// attribute and `flatten`, so the loader inlines into the loop.
template <class Loader>
inline std::uint32_t count_blocks(const unsigned char* p, std::size_t n, bool previous_word) {
  // 64-bit total: the 32-bit result then wraps exactly like the byte walk.
  std::uint64_t total = 0;
  std::uint64_t carry = previous_word ? 1 : 0;
  for (; n >= kBlockBytes; p += kBlockBytes, n -= kBlockBytes) {
    const BlockMasks m = Loader::full(p);
    total += static_cast<std::uint64_t>(std::popcount(token_starts(m, carry)));
    carry = m.word >> 63;
  }
  if (n != 0) {
    total += static_cast<std::uint64_t>(std::popcount(token_starts(Loader::partial(p, n), carry)));
  }
  return static_cast<std::uint32_t>(total);
}

template <class Loader>
inline std::size_t walk_blocks(const unsigned char* data, std::size_t size,
                               kernels::WalkState& state) {
  std::uint64_t left = state.left;
  std::uint64_t carry = state.previous_word ? 1 : 0;
  std::size_t offset = 0;
  for (; size - offset >= kBlockBytes; offset += kBlockBytes) {
    const BlockMasks m = Loader::full(data + offset);
    const std::uint64_t starts = token_starts(m, carry);
    const auto in_block = static_cast<std::uint64_t>(std::popcount(starts));
    if (in_block > left) return offset + nth_set_bit(starts, left);
    left -= in_block;
    carry = m.word >> 63;
  }
  if (offset != size) {
    const std::size_t n = size - offset;
    const BlockMasks m = Loader::partial(data + offset, n);
    const std::uint64_t starts = token_starts(m, carry);
    const auto in_block = static_cast<std::uint64_t>(std::popcount(starts));
    if (in_block > left) return offset + nth_set_bit(starts, left);
    left -= in_block;
    carry = (m.word >> (n - 1)) & 1;
  }
  state = {left, carry != 0};
  return size;
}

}  // namespace tov::tokens::blocks
