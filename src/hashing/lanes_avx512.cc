// AVX-512, sixteen messages side by side: each 32-bit element of a ZMM
// register belongs to one lane, and the rounds run in plain vector
// arithmetic (rotates and three-input logic make a round a handful of
// instructions). Faster than the SHA extensions only with many lanes busy;
// the scheduler gives it the steps where enough lanes are live. Lanes beyond
// `lanes` repeat lane 0's data into scratch states, which are thrown away.
// The functions carry target attributes and are only called after the
// dispatcher has checked the processor.
#include "hashing/lanes.h"

#if defined(TOV_LANES_AVX512)

// GCC 12's headers leave the unused merge operand of some unmasked
// intrinsics undefined on purpose, which -Wmaybe-uninitialized reports.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#if defined(__GNUC__) || defined(__clang__)
#define TOV_AVX512 __attribute__((target("avx512f,avx512bw")))
#define TOV_UNROLL(n) _Pragma(TOV_STRINGIFY(GCC unroll n))
#define TOV_STRINGIFY(x) #x
#else
#define TOV_AVX512
#define TOV_UNROLL(n)
#endif

namespace tov::hashing::lanes {
namespace {

constexpr std::size_t kWidth = 16;

// Rows are the lanes' 64-byte blocks; afterwards w[t] holds word t of every
// lane, byte-swapped to the big-endian words SHA-256 reads.
TOV_AVX512 inline void load_words(const std::uint8_t* const* rows, std::size_t offset, __m512i* w) {
  const __m512i swap =
      _mm512_broadcast_i32x4(_mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL));
  __m512i r[kWidth];
  TOV_UNROLL(16) for (std::size_t i = 0; i < kWidth; ++i) {
    r[i] = _mm512_loadu_si512(rows[i] + offset);
  }
  // 4x4 transposes within each 128-bit lane...
  __m512i u[kWidth];
  TOV_UNROLL(4) for (std::size_t g = 0; g < kWidth; g += 4) {
    const __m512i t0 = _mm512_unpacklo_epi32(r[g], r[g + 1]);
    const __m512i t1 = _mm512_unpackhi_epi32(r[g], r[g + 1]);
    const __m512i t2 = _mm512_unpacklo_epi32(r[g + 2], r[g + 3]);
    const __m512i t3 = _mm512_unpackhi_epi32(r[g + 2], r[g + 3]);
    u[g] = _mm512_unpacklo_epi64(t0, t2);
    u[g + 1] = _mm512_unpackhi_epi64(t0, t2);
    u[g + 2] = _mm512_unpacklo_epi64(t1, t3);
    u[g + 3] = _mm512_unpackhi_epi64(t1, t3);
  }
  // ...then the 128-bit pieces of four rows at a time.
  TOV_UNROLL(4) for (std::size_t j = 0; j < 4; ++j) {
    const __m512i v0 = _mm512_shuffle_i32x4(u[j], u[4 + j], 0x44);
    const __m512i v1 = _mm512_shuffle_i32x4(u[j], u[4 + j], 0xEE);
    const __m512i v2 = _mm512_shuffle_i32x4(u[8 + j], u[12 + j], 0x44);
    const __m512i v3 = _mm512_shuffle_i32x4(u[8 + j], u[12 + j], 0xEE);
    w[j] = _mm512_shuffle_epi8(_mm512_shuffle_i32x4(v0, v2, 0x88), swap);
    w[4 + j] = _mm512_shuffle_epi8(_mm512_shuffle_i32x4(v0, v2, 0xDD), swap);
    w[8 + j] = _mm512_shuffle_epi8(_mm512_shuffle_i32x4(v1, v3, 0x88), swap);
    w[12 + j] = _mm512_shuffle_epi8(_mm512_shuffle_i32x4(v1, v3, 0xDD), swap);
  }
}

TOV_AVX512 inline __m512i xor3(__m512i a, __m512i b, __m512i c) {
  return _mm512_ternarylogic_epi32(a, b, c, 0x96);
}

}  // namespace

TOV_AVX512 void compress_avx512(std::uint32_t* const* states, const std::uint8_t* const* data,
                                std::size_t lanes, std::size_t blocks) noexcept {
  if (lanes == 0) return;
  const std::uint8_t* rows[kWidth];
  alignas(64) std::uint32_t words[8][kWidth];
  for (std::size_t l = 0; l < kWidth; ++l) {
    const std::size_t from = l < lanes ? l : 0;
    rows[l] = data[from];
    for (std::size_t i = 0; i < 8; ++i) words[i][l] = states[from][i];
  }
  __m512i v[8];
  for (std::size_t i = 0; i < 8; ++i) v[i] = _mm512_load_si512(words[i]);

  for (std::size_t b = 0; b < blocks; ++b) {
    __m512i w[16];
    load_words(rows, 64 * b, w);
    __m512i saved[8];
    TOV_UNROLL(8) for (std::size_t i = 0; i < 8; ++i) saved[i] = v[i];
    // Logical word i (a..h) of round t sits in v[(i - t) & 7]: renaming
    // instead of moving.
    TOV_UNROLL(64) for (std::size_t t = 0; t < 64; ++t) {
      if (t >= 16) {
        const __m512i w15 = w[(t - 15) & 15];
        const __m512i w2 = w[(t - 2) & 15];
        const __m512i s0 =
            xor3(_mm512_ror_epi32(w15, 7), _mm512_ror_epi32(w15, 18), _mm512_srli_epi32(w15, 3));
        const __m512i s1 =
            xor3(_mm512_ror_epi32(w2, 17), _mm512_ror_epi32(w2, 19), _mm512_srli_epi32(w2, 10));
        w[t & 15] = _mm512_add_epi32(_mm512_add_epi32(w[t & 15], s0),
                                     _mm512_add_epi32(w[(t - 7) & 15], s1));
      }
      __m512i& a = v[(0 - t) & 7];
      const __m512i b_ = v[(1 - t) & 7];
      const __m512i c = v[(2 - t) & 7];
      __m512i& d = v[(3 - t) & 7];
      const __m512i e = v[(4 - t) & 7];
      const __m512i f = v[(5 - t) & 7];
      const __m512i g = v[(6 - t) & 7];
      __m512i& h = v[(7 - t) & 7];
      const __m512i s1 =
          xor3(_mm512_ror_epi32(e, 6), _mm512_ror_epi32(e, 11), _mm512_ror_epi32(e, 25));
      const __m512i ch = _mm512_ternarylogic_epi32(e, f, g, 0xCA);
      const __m512i t1 = _mm512_add_epi32(
          _mm512_add_epi32(h, s1),
          _mm512_add_epi32(ch, _mm512_add_epi32(w[t & 15], _mm512_set1_epi32(static_cast<int>(
                                                               kRoundConstants[t])))));
      const __m512i s0 =
          xor3(_mm512_ror_epi32(a, 2), _mm512_ror_epi32(a, 13), _mm512_ror_epi32(a, 22));
      const __m512i maj = _mm512_ternarylogic_epi32(a, b_, c, 0xE8);
      d = _mm512_add_epi32(d, t1);
      h = _mm512_add_epi32(t1, _mm512_add_epi32(s0, maj));
    }
    TOV_UNROLL(8) for (std::size_t i = 0; i < 8; ++i) v[i] = _mm512_add_epi32(v[i], saved[i]);
  }

  for (std::size_t i = 0; i < 8; ++i) _mm512_store_si512(words[i], v[i]);
  for (std::size_t l = 0; l < lanes; ++l) {
    for (std::size_t i = 0; i < 8; ++i) states[l][i] = words[i][l];
  }
}

}  // namespace tov::hashing::lanes

#endif
