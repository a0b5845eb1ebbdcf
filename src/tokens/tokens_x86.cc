// x86-64 kernels. SSE2 is part of the x86-64 baseline; the AVX2 and AVX-512
// kernels carry per-function target attributes and are only called after the
// dispatcher has checked the CPU. `flatten` pulls the shared block loop and
// the loader into each entry point, where the target attribute applies.
#include "tokens/tokens_kernels.h"

#if defined(TOV_TOKENS_X86_64)

#include <immintrin.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "tokens/tokens_blocks.h"

#define TOV_AVX2 __attribute__((target("avx2,popcnt")))
#define TOV_AVX512 __attribute__((target("avx512f,avx512bw,popcnt")))

namespace tov::tokens::kernels {
namespace {

using blocks::BlockMasks;

constexpr char byte_lane(unsigned value) {
  return static_cast<char>(value);
}

// vpshufb looks up within each 16-byte lane, so wide registers need the
// nibble tables once per lane.
template <std::size_t Bytes>
constexpr std::array<std::uint8_t, Bytes> per_lane(const std::array<std::uint8_t, 16>& table) {
  std::array<std::uint8_t, Bytes> out{};
  for (std::size_t i = 0; i < Bytes; ++i) out[i] = table[i % 16];
  return out;
}
alignas(32) constexpr auto kLow32 = per_lane<32>(blocks::kLowNibble);
alignas(32) constexpr auto kHigh32 = per_lane<32>(blocks::kHighNibble);
alignas(64) constexpr auto kLow64 = per_lane<64>(blocks::kLowNibble);
alignas(64) constexpr auto kHigh64 = per_lane<64>(blocks::kHighNibble);

// --- SSE2: range checks by comparison (SSE2 has no byte shuffle). ---

struct Sse2Loader {
  struct Lanes {
    std::uint64_t word;
    std::uint64_t blank;
  };

  static Lanes classify16(__m128i b) {
    // An unsigned test x - lo < len becomes a signed compare after flipping
    // the top bit: (x - lo) ^ 0x80 == x + (0x80 - lo), against len - 128.
    const __m128i upper = _mm_and_si128(b, _mm_set1_epi8(byte_lane(0xDF)));
    const __m128i letter = _mm_cmplt_epi8(_mm_add_epi8(upper, _mm_set1_epi8(0x3F)),
                                          _mm_set1_epi8(byte_lane(26 + 0x80)));
    const __m128i digit =
        _mm_cmplt_epi8(_mm_add_epi8(b, _mm_set1_epi8(0x50)), _mm_set1_epi8(byte_lane(10 + 0x80)));
    const __m128i underscore = _mm_cmpeq_epi8(b, _mm_set1_epi8(0x5F));
    const __m128i word = _mm_or_si128(_mm_or_si128(letter, digit), underscore);
    const __m128i space_or_lf = _mm_or_si128(_mm_cmpeq_epi8(b, _mm_set1_epi8(0x20)),
                                             _mm_cmpeq_epi8(b, _mm_set1_epi8(0x0A)));
    const __m128i tab_or_cr =
        _mm_cmpeq_epi8(_mm_and_si128(b, _mm_set1_epi8(byte_lane(0xFB))), _mm_set1_epi8(0x09));
    const __m128i blank = _mm_or_si128(space_or_lf, tab_or_cr);
    return {static_cast<std::uint16_t>(_mm_movemask_epi8(word)),
            static_cast<std::uint16_t>(_mm_movemask_epi8(blank))};
  }

  static BlockMasks full(const unsigned char* p) {
    std::uint64_t word = 0;
    std::uint64_t blank = 0;
    for (unsigned i = 0; i < 4; ++i) {
      const Lanes l = classify16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i)));
      word |= l.word << (16 * i);
      blank |= l.blank << (16 * i);
    }
    return {word, ~blank};
  }

  static BlockMasks partial(const unsigned char* p, std::size_t n) {
    return blocks::partial_via_copy<Sse2Loader>(p, n);
  }
};

// --- AVX2: nibble-table classification (see tokens_blocks.h). ---

struct Avx2Loader {
  TOV_AVX2 static __m256i table(const std::array<std::uint8_t, 32>& t) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(t.data()));
  }

  // Class bits per byte. vpshufb yields 0 for index bytes with the top bit
  // set, which is the right answer (symbol) for bytes 0x80..0xFF, so the low
  // nibble needs no masking.
  TOV_AVX2 static __m256i classes(__m256i b) {
    const __m256i high = _mm256_and_si256(_mm256_srli_epi16(b, 4), _mm256_set1_epi8(0x0F));
    return _mm256_and_si256(_mm256_shuffle_epi8(table(kLow32), b),
                            _mm256_shuffle_epi8(table(kHigh32), high));
  }

  TOV_AVX2 static std::uint64_t mask(__m256i v) {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(v));
  }

  // Blank bytes have class 0x40 or 0x80, word bytes 0x01..0x0F, symbols 0:
  // a saturating add moves each question into the top bit for vpmovmskb.
  TOV_AVX2 static BlockMasks full(const unsigned char* p) {
    const __m256i c0 = classes(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
    const __m256i c1 = classes(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32)));
    const __m256i blank_probe = _mm256_set1_epi8(0x40);
    const __m256i nonzero_probe = _mm256_set1_epi8(0x7F);
    const std::uint64_t blank =
        mask(_mm256_adds_epu8(c0, blank_probe)) | mask(_mm256_adds_epu8(c1, blank_probe)) << 32;
    const std::uint64_t classified =
        mask(_mm256_adds_epu8(c0, nonzero_probe)) | mask(_mm256_adds_epu8(c1, nonzero_probe)) << 32;
    return {classified & ~blank, ~blank};
  }

  TOV_AVX2 static BlockMasks partial(const unsigned char* p, std::size_t n) {
    return blocks::partial_via_copy<Avx2Loader>(p, n);
  }
};

// --- AVX-512BW: same tables, one 64-byte vector per block. ---

struct Avx512Loader {
  TOV_AVX512 static BlockMasks from_vector(__m512i b) {
    const __m512i low_table = _mm512_load_si512(kLow64.data());
    const __m512i high_table = _mm512_load_si512(kHigh64.data());
    const __m512i high = _mm512_and_si512(_mm512_srli_epi16(b, 4), _mm512_set1_epi8(0x0F));
    const __m512i c =
        _mm512_and_si512(_mm512_shuffle_epi8(low_table, b), _mm512_shuffle_epi8(high_table, high));
    const std::uint64_t word = _mm512_test_epi8_mask(c, _mm512_set1_epi8(blocks::kWordBits));
    const std::uint64_t blank =
        _mm512_test_epi8_mask(c, _mm512_set1_epi8(byte_lane(blocks::kBlankBits)));
    return {word, ~blank};
  }

  TOV_AVX512 static BlockMasks full(const unsigned char* p) {
    return from_vector(_mm512_loadu_si512(p));
  }

  // Masked-off lanes are neither read nor faulted on; they load as zero
  // (a symbol), hence the trim.
  TOV_AVX512 static BlockMasks partial(const unsigned char* p, std::size_t n) {
    const std::uint64_t valid = blocks::low_bits(n);
    const BlockMasks m = from_vector(_mm512_maskz_loadu_epi8(valid, p));
    return {m.word & valid, m.nonblank & valid};
  }
};

}  // namespace

__attribute__((flatten)) std::uint32_t count_sse2(const unsigned char* data, std::size_t size,
                                                  bool previous_word) noexcept {
  return blocks::count_blocks<Sse2Loader>(data, size, previous_word);
}

__attribute__((flatten)) std::size_t walk_sse2(const unsigned char* data, std::size_t size,
                                               WalkState& state) noexcept {
  return blocks::walk_blocks<Sse2Loader>(data, size, state);
}

TOV_AVX2 __attribute__((flatten)) std::uint32_t count_avx2(const unsigned char* data,
                                                           std::size_t size,
                                                           bool previous_word) noexcept {
  return blocks::count_blocks<Avx2Loader>(data, size, previous_word);
}

TOV_AVX2 __attribute__((flatten)) std::size_t walk_avx2(const unsigned char* data, std::size_t size,
                                                        WalkState& state) noexcept {
  return blocks::walk_blocks<Avx2Loader>(data, size, state);
}

TOV_AVX512 __attribute__((flatten)) std::uint32_t count_avx512bw(const unsigned char* data,
                                                                 std::size_t size,
                                                                 bool previous_word) noexcept {
  return blocks::count_blocks<Avx512Loader>(data, size, previous_word);
}

TOV_AVX512 __attribute__((flatten)) std::size_t walk_avx512bw(const unsigned char* data,
                                                              std::size_t size,
                                                              WalkState& state) noexcept {
  return blocks::walk_blocks<Avx512Loader>(data, size, state);
}

}  // namespace tov::tokens::kernels

#endif  // TOV_TOKENS_X86_64
