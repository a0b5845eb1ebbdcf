// x86-64 kernels of the transcoder. SSE2 is part of the x86-64 baseline; the
// AVX2 kernel carries a target attribute and is only called after the
// dispatcher has checked the processor.
#include "text/utf8_kernels.h"

#if defined(TOV_TEXT_X86_64)

#include <immintrin.h>

#include <array>
#include <cstdint>

namespace tov::text::kernels {

namespace {

// For eight units below U+0800: which bytes of their two-byte forms to keep.
// Entry m (bit j set: unit j is ASCII) picks byte 2j alone for an ASCII unit
// and bytes 2j, 2j + 1 otherwise; unused lanes are zero.
struct PackTable {
  std::array<std::array<std::uint8_t, 16>, 256> shuffle{};
  std::array<std::uint8_t, 256> length{};
};

constexpr PackTable make_pack_table() {
  PackTable table;
  for (unsigned mask = 0; mask < 256; ++mask) {
    unsigned at = 0;
    for (unsigned unit = 0; unit < 8; ++unit) {
      table.shuffle[mask][at++] = static_cast<std::uint8_t>(2 * unit);
      if ((mask & (1u << unit)) == 0)
        table.shuffle[mask][at++] = static_cast<std::uint8_t>(2 * unit + 1);
    }
    table.length[mask] = static_cast<std::uint8_t>(at);
    for (; at < 16; ++at) table.shuffle[mask][at] = 0x80;
  }
  return table;
}

constexpr PackTable kPackTable = make_pack_table();

}  // namespace

// Sixteen units per step while they are ASCII, eight at a time while they
// stay below U+0800 (Latin, Greek, Cyrillic, Hebrew, Arabic), one at a time
// otherwise. Every store stays behind the input still to be read; see the
// header.
__attribute__((target("avx2"))) Utf8Encoded encode_avx2(const char16_t* in, std::size_t count,
                                                        char* out) noexcept {
  char* const start = out;
  bool replaced = false;
  std::size_t i = 0;
  const __m256i not_ascii16 = _mm256_set1_epi16(static_cast<short>(0xFF80));
  const __m128i not_ascii8 = _mm_set1_epi16(static_cast<short>(0xFF80));
  const __m128i not_two_byte = _mm_set1_epi16(static_cast<short>(0xF800));
  while (count - i >= 16) {
    const __m256i units = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    if (_mm256_testz_si256(units, not_ascii16)) {
      const __m128i packed =
          _mm_packus_epi16(_mm256_castsi256_si128(units), _mm256_extracti128_si256(units, 1));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), packed);
      out += 16;
      i += 16;
      continue;
    }
    const __m128i eight = _mm256_castsi256_si128(units);
    if (_mm_testz_si128(eight, not_two_byte)) {
      // Each unit's two-byte form, lead byte first in memory: 110xxxxx then
      // 10xxxxxx; ASCII units keep their value in the low byte.
      const __m128i lead = _mm_or_si128(_mm_srli_epi16(eight, 6), _mm_set1_epi16(0xC0));
      const __m128i trail = _mm_slli_epi16(
          _mm_or_si128(_mm_and_si128(eight, _mm_set1_epi16(0x3F)), _mm_set1_epi16(0x80)), 8);
      const __m128i ascii = _mm_cmpeq_epi16(_mm_and_si128(eight, not_ascii8), _mm_setzero_si128());
      const __m128i forms = _mm_or_si128(_mm_and_si128(ascii, eight),
                                         _mm_andnot_si128(ascii, _mm_or_si128(lead, trail)));
      const unsigned mask =
          static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(ascii, ascii))) & 0xFF;
      const __m128i pick =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(kPackTable.shuffle[mask].data()));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(forms, pick));
      out += kPackTable.length[mask];
      i += 8;
      continue;
    }
    encode_until(in, count, i, i + 8, out, replaced);
  }
  encode_until(in, count, i, count, out, replaced);
  return {static_cast<std::size_t>(out - start), replaced};
}

// Baseline x86-64: eight units per step while they are ASCII.
Utf8Encoded encode_sse2(const char16_t* in, std::size_t count, char* out) noexcept {
  char* const start = out;
  bool replaced = false;
  std::size_t i = 0;
  const __m128i not_ascii = _mm_set1_epi16(static_cast<short>(0xFF80));
  while (count - i >= 8) {
    const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const __m128i high = _mm_and_si128(units, not_ascii);
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) == 0xFFFF) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(units, units));
      out += 8;
      i += 8;
      continue;
    }
    encode_until(in, count, i, i + 8, out, replaced);
  }
  encode_until(in, count, i, count, out, replaced);
  return {static_cast<std::size_t>(out - start), replaced};
}

}  // namespace tov::text::kernels

#endif  // TOV_TEXT_X86_64
