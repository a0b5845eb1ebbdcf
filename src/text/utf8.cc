#include "text/utf8.h"

#include <array>
#include <cstdint>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TOV_UTF8_X86_64 1
#include <immintrin.h>
#endif

namespace tov::text {

namespace {

// Units that `byte` begins: none for a continuation byte (10xxxxxx), two for
// a four-byte lead (11110xxx), whose character needs a surrogate pair.
constexpr std::uint8_t units_begun(std::uint8_t byte) {
  return static_cast<std::uint8_t>(((byte & 0xC0) != 0x80) + (byte >= 0xF0));
}

}  // namespace

std::size_t utf16_length(std::string_view text) noexcept {
  // Counted 64 bytes at a time in an 8-bit sum (at most 128), which the
  // compiler turns into byte-wide vector code; a sum as wide as the result
  // would take eight times the lanes.
  const auto* at = reinterpret_cast<const std::uint8_t*>(text.data());
  std::size_t left = text.size();
  std::size_t units = 0;
  for (; left >= 64; at += 64, left -= 64) {
    std::uint8_t block = 0;
    for (int i = 0; i < 64; ++i) block = static_cast<std::uint8_t>(block + units_begun(at[i]));
    units += block;
  }
  for (; left > 0; ++at, --left) units += units_begun(*at);
  return units;
}

namespace {

// Encodes the unit at `i` (with the next one, for a surrogate pair) and
// advances both positions; notes in `replaced` an unpaired surrogate. Reads
// everything it needs before writing, which the shared-buffer use of
// utf16_to_utf8 relies on.
inline void encode_one(const char16_t* in, std::size_t count, std::size_t& i, char*& out,
                       bool& replaced) {
  std::uint32_t unit = in[i++];
  if (unit < 0x80) {
    *out++ = static_cast<char>(unit);
    return;
  }
  if (unit < 0x800) {
    out[0] = static_cast<char>(0xC0 | (unit >> 6));
    out[1] = static_cast<char>(0x80 | (unit & 0x3F));
    out += 2;
    return;
  }
  if (unit >= 0xD800 && unit <= 0xDFFF) {
    if (unit <= 0xDBFF && i < count && in[i] >= 0xDC00 && in[i] <= 0xDFFF) {
      const std::uint32_t point = 0x10000 + ((unit - 0xD800) << 10) + (in[i++] - 0xDC00);
      out[0] = static_cast<char>(0xF0 | (point >> 18));
      out[1] = static_cast<char>(0x80 | ((point >> 12) & 0x3F));
      out[2] = static_cast<char>(0x80 | ((point >> 6) & 0x3F));
      out[3] = static_cast<char>(0x80 | (point & 0x3F));
      out += 4;
      return;
    }
    unit = 0xFFFD;
    replaced = true;
  }
  out[0] = static_cast<char>(0xE0 | (unit >> 12));
  out[1] = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
  out[2] = static_cast<char>(0x80 | (unit & 0x3F));
  out += 3;
}

// Encodes units one at a time from `i` until `stop` (or one past it, when a
// pair straddles it).
inline void encode_until(const char16_t* in, std::size_t count, std::size_t& i, std::size_t stop,
                         char*& out, bool& replaced) {
  while (i < stop) encode_one(in, count, i, out, replaced);
}

#ifdef TOV_UTF8_X86_64

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

// Sixteen units per step while they are ASCII, eight at a time while they
// stay below U+0800 (Latin, Greek, Cyrillic, Hebrew, Arabic), one at a time
// otherwise. Every store stays behind the input still to be read; see the
// header.
__attribute__((target("avx2"))) Utf8Encoded encode_avx2(const char16_t* in, std::size_t count,
                                                        char* out) {
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
Utf8Encoded encode_sse2(const char16_t* in, std::size_t count, char* out) {
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

bool has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

#endif  // TOV_UTF8_X86_64

}  // namespace

Utf8Encoded utf16_to_utf8_scalar(const char16_t* in, std::size_t count, char* out) noexcept {
  char* const start = out;
  bool replaced = false;
  std::size_t i = 0;
  encode_until(in, count, i, count, out, replaced);
  return {static_cast<std::size_t>(out - start), replaced};
}

Utf8Encoded utf16_to_utf8(const char16_t* in, std::size_t count, char* out) noexcept {
#ifdef TOV_UTF8_X86_64
  static const Utf16ToUtf8 encoder = has_avx2() ? encode_avx2 : encode_sse2;
  return encoder(in, count, out);
#else
  return utf16_to_utf8_scalar(in, count, out);
#endif
}

std::vector<Utf16ToUtf8> utf16_to_utf8_variants() {
  std::vector<Utf16ToUtf8> variants = {utf16_to_utf8_scalar};
#ifdef TOV_UTF8_X86_64
  variants.push_back(encode_sse2);
  if (has_avx2()) variants.push_back(encode_avx2);
#endif
  return variants;
}

}  // namespace tov::text
