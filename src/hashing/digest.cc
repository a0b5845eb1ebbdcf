#include "hashing/digest.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tov::hashing {

namespace {

#if !defined(__SSE2__)
constexpr std::array<char, 512> make_hex_pairs() {
  constexpr char digits[] = "0123456789abcdef";
  std::array<char, 512> table{};
  for (std::size_t byte = 0; byte < 256; ++byte) {
    table[2 * byte] = digits[byte >> 4];
    table[2 * byte + 1] = digits[byte & 0xf];
  }
  return table;
}

constexpr std::array<char, 512> kHexPairs = make_hex_pairs();
#endif

}  // namespace

void to_hex(const Digest& digest, char* out) {
#if defined(__SSE2__)
  // Sixteen bytes at a time: split into nibbles, turn each into '0'..'9' or
  // 'a'..'f' without a table, and interleave high and low nibbles.
  const __m128i low_nibble = _mm_set1_epi8(0x0f);
  const auto to_ascii = [](__m128i nibbles) {
    const __m128i letters = _mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9));
    return _mm_add_epi8(_mm_add_epi8(nibbles, _mm_set1_epi8('0')),
                        _mm_and_si128(letters, _mm_set1_epi8('a' - '0' - 10)));
  };
  for (std::size_t half = 0; half < 2; ++half) {
    const __m128i bytes =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(digest.data() + 16 * half));
    const __m128i high = to_ascii(_mm_and_si128(_mm_srli_epi16(bytes, 4), low_nibble));
    const __m128i low = to_ascii(_mm_and_si128(bytes, low_nibble));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 * half), _mm_unpacklo_epi8(high, low));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 * half + 16),
                     _mm_unpackhi_epi8(high, low));
  }
#else
  // One two-byte copy per digest byte; compilers turn it into a single
  // load and store.
  for (std::size_t i = 0; i < digest.size(); ++i) {
    std::memcpy(out + 2 * i, &kHexPairs[2 * static_cast<std::size_t>(digest[i])], 2);
  }
#endif
}

std::string to_hex(const Digest& digest) {
  std::string out(kHexDigestSize, '\0');
  to_hex(digest, out.data());
  return out;
}

std::string hex_digest(const void* data, std::size_t size) {
  return to_hex(sha256(data, size));
}

}  // namespace tov::hashing
