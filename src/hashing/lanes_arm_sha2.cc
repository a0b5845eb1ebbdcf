// ARMv8 cryptographic extension, 1 to 4 messages interleaved: the same step
// for every lane before the next step, so that the lanes hide each other's
// SHA256H latency. Compiled with the extension enabled for this file alone
// and only called after the dispatcher has checked the processor.
#include "hashing/lanes.h"

#if defined(TOV_LANES_ARM_SHA2)

#include <arm_neon.h>

#if defined(__GNUC__) || defined(__clang__)
#define TOV_UNROLL _Pragma("GCC unroll 16")
#else
#define TOV_UNROLL
#endif

namespace tov::hashing::lanes {
namespace {

template <std::size_t N>
inline void compress_lanes(std::uint32_t* const* states, const std::uint8_t* const* data,
                           std::size_t blocks) {
  uint32x4_t abcd[N];
  uint32x4_t efgh[N];
  TOV_UNROLL for (std::size_t l = 0; l < N; ++l) {
    abcd[l] = vld1q_u32(states[l]);
    efgh[l] = vld1q_u32(states[l] + 4);
  }

  for (std::size_t b = 0; b < blocks; ++b) {
    uint32x4_t saved_abcd[N];
    uint32x4_t saved_efgh[N];
    uint32x4_t w[N][4];
    TOV_UNROLL for (std::size_t l = 0; l < N; ++l) {
      saved_abcd[l] = abcd[l];
      saved_efgh[l] = efgh[l];
    }
    TOV_UNROLL for (std::size_t g = 0; g < 16; ++g) {
      const uint32x4_t k = vld1q_u32(kRoundConstants + 4 * g);
      TOV_UNROLL for (std::size_t l = 0; l < N; ++l) {
        uint32x4_t& group = w[l][g % 4];
        if (g < 4) {
          group = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(data[l] + 64 * b + 16 * g)));
        } else {
          // W[4g..4g+3] from the four groups before it; group is W[4g-16..].
          group = vsha256su1q_u32(vsha256su0q_u32(group, w[l][(g + 1) % 4]), w[l][(g + 2) % 4],
                                  w[l][(g + 3) % 4]);
        }
        const uint32x4_t wk = vaddq_u32(group, k);
        const uint32x4_t before = abcd[l];
        abcd[l] = vsha256hq_u32(abcd[l], efgh[l], wk);
        efgh[l] = vsha256h2q_u32(efgh[l], before, wk);
      }
    }
    TOV_UNROLL for (std::size_t l = 0; l < N; ++l) {
      abcd[l] = vaddq_u32(abcd[l], saved_abcd[l]);
      efgh[l] = vaddq_u32(efgh[l], saved_efgh[l]);
    }
  }

  TOV_UNROLL for (std::size_t l = 0; l < N; ++l) {
    vst1q_u32(states[l], abcd[l]);
    vst1q_u32(states[l] + 4, efgh[l]);
  }
}

}  // namespace

void compress_arm_sha2(std::uint32_t* const* states, const std::uint8_t* const* data,
                       std::size_t lanes, std::size_t blocks) noexcept {
  switch (lanes) {
    case 0:
      return;
    case 1:
      return compress_lanes<1>(states, data, blocks);
    case 2:
      return compress_lanes<2>(states, data, blocks);
    case 3:
      return compress_lanes<3>(states, data, blocks);
    default:
      return compress_lanes<4>(states, data, blocks);
  }
}

}  // namespace tov::hashing::lanes

#endif
