// x86-64 SHA extensions, 1 to 4 messages interleaved. sha256rnds2 has a
// latency of several cycles and one message's rounds form a single chain;
// issuing the same step for every lane before the next step lets the lanes
// fill each other's wait. Four lanes need more than the sixteen XMM
// registers, and the compiler spills the saved states, which costs less than
// the latency it hides. The functions carry target attributes and are only
// called after the dispatcher has checked the processor.
#include "hashing/lanes.h"

#if defined(TOV_LANES_SHANI)

#include <immintrin.h>

#if defined(__GNUC__) || defined(__clang__)
#define TOV_SHANI __attribute__((target("sha,sse4.1,ssse3")))
#define TOV_UNROLL _Pragma("GCC unroll 16")
#else
#define TOV_SHANI
#define TOV_UNROLL
#endif

namespace tov::hashing::lanes {
namespace {

template <std::size_t N>
TOV_SHANI inline void compress_lanes(std::uint32_t* const* states, const std::uint8_t* const* data,
                                     std::size_t blocks) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  // The instructions want the state as ABEF and CDGH.
  __m128i abef[N];
  __m128i cdgh[N];
  TOV_UNROLL for (std::size_t l = 0; l < N; ++l) {
    const __m128i dcba =
        _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(states[l])), 0xB1);
    const __m128i efgh =
        _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(states[l] + 4)), 0x1B);
    abef[l] = _mm_alignr_epi8(dcba, efgh, 8);
    cdgh[l] = _mm_blend_epi16(efgh, dcba, 0xF0);
  }

  for (std::size_t b = 0; b < blocks; ++b) {
    __m128i saved_abef[N];
    __m128i saved_cdgh[N];
    __m128i w[N][4];
    TOV_UNROLL for (std::size_t l = 0; l < N; ++l) {
      saved_abef[l] = abef[l];
      saved_cdgh[l] = cdgh[l];
    }
    TOV_UNROLL for (std::size_t g = 0; g < 16; ++g) {
      const __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kRoundConstants + 4 * g));
      TOV_UNROLL for (std::size_t l = 0; l < N; ++l) {
        __m128i& group = w[l][g % 4];
        if (g < 4) {
          group = _mm_shuffle_epi8(
              _mm_loadu_si128(reinterpret_cast<const __m128i*>(data[l] + 64 * b + 16 * g)),
              byte_swap);
        } else {
          // W[4g..4g+3] from the four groups before it; group is W[4g-16..].
          const __m128i prev = w[l][(g + 3) % 4];
          __m128i next = _mm_sha256msg1_epu32(group, w[l][(g + 1) % 4]);
          next = _mm_add_epi32(next, _mm_alignr_epi8(prev, w[l][(g + 2) % 4], 4));
          group = _mm_sha256msg2_epu32(next, prev);
        }
        __m128i wk = _mm_add_epi32(group, k);
        cdgh[l] = _mm_sha256rnds2_epu32(cdgh[l], abef[l], wk);
        wk = _mm_shuffle_epi32(wk, 0x0E);
        abef[l] = _mm_sha256rnds2_epu32(abef[l], cdgh[l], wk);
      }
    }
    TOV_UNROLL for (std::size_t l = 0; l < N; ++l) {
      abef[l] = _mm_add_epi32(abef[l], saved_abef[l]);
      cdgh[l] = _mm_add_epi32(cdgh[l], saved_cdgh[l]);
    }
  }

  TOV_UNROLL for (std::size_t l = 0; l < N; ++l) {
    const __m128i feba = _mm_shuffle_epi32(abef[l], 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh[l], 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(states[l]), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(states[l] + 4), _mm_alignr_epi8(dchg, feba, 8));
  }
}

}  // namespace

TOV_SHANI void compress_shani(std::uint32_t* const* states, const std::uint8_t* const* data,
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
