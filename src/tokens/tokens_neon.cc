// arm64 kernel: NEON is always present there, so no run-time check.
#include "tokens/tokens_kernels.h"

#if defined(TOV_TOKENS_NEON)

#include <arm_neon.h>

#include <cstddef>
#include <cstdint>

#include "tokens/tokens_blocks.h"

namespace tov::tokens::kernels {
namespace {

using blocks::BlockMasks;

struct NeonLoader {
  // Packs four 16-lane 0x00/0xFF masks into one bit per lane: weight each
  // lane by its bit, then pairwise add three times.
  static std::uint64_t to_bits(uint8x16_t m0, uint8x16_t m1, uint8x16_t m2, uint8x16_t m3) {
    static constexpr std::uint8_t kWeights[16] = {1, 2, 4, 8, 16, 32, 64, 128,
                                                  1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t weights = vld1q_u8(kWeights);
    const uint8x16_t a = vpaddq_u8(vandq_u8(m0, weights), vandq_u8(m1, weights));
    const uint8x16_t b = vpaddq_u8(vandq_u8(m2, weights), vandq_u8(m3, weights));
    uint8x16_t c = vpaddq_u8(a, b);
    c = vpaddq_u8(c, c);
    return vgetq_lane_u64(vreinterpretq_u64_u8(c), 0);
  }

  // tbl yields 0 for any index of 16 or more, so the low nibble is masked.
  static uint8x16_t classes(uint8x16_t b) {
    const uint8x16_t low_table = vld1q_u8(blocks::kLowNibble.data());
    const uint8x16_t high_table = vld1q_u8(blocks::kHighNibble.data());
    return vandq_u8(vqtbl1q_u8(low_table, vandq_u8(b, vdupq_n_u8(0x0F))),
                    vqtbl1q_u8(high_table, vshrq_n_u8(b, 4)));
  }

  static BlockMasks full(const unsigned char* p) {
    const uint8x16_t word_bits = vdupq_n_u8(blocks::kWordBits);
    const uint8x16_t blank_bits = vdupq_n_u8(blocks::kBlankBits);
    uint8x16_t c[4];
    for (unsigned i = 0; i < 4; ++i) c[i] = classes(vld1q_u8(p + 16 * i));
    const std::uint64_t word = to_bits(vtstq_u8(c[0], word_bits), vtstq_u8(c[1], word_bits),
                                       vtstq_u8(c[2], word_bits), vtstq_u8(c[3], word_bits));
    const std::uint64_t blank = to_bits(vtstq_u8(c[0], blank_bits), vtstq_u8(c[1], blank_bits),
                                        vtstq_u8(c[2], blank_bits), vtstq_u8(c[3], blank_bits));
    return {word, ~blank};
  }

  static BlockMasks partial(const unsigned char* p, std::size_t n) {
    return blocks::partial_via_copy<NeonLoader>(p, n);
  }
};

}  // namespace

std::uint32_t count_neon(const unsigned char* data, std::size_t size, bool previous_word) noexcept {
  return blocks::count_blocks<NeonLoader>(data, size, previous_word);
}

std::size_t walk_neon(const unsigned char* data, std::size_t size, WalkState& state) noexcept {
  return blocks::walk_blocks<NeonLoader>(data, size, state);
}

}  // namespace tov::tokens::kernels

#endif  // TOV_TOKENS_NEON
