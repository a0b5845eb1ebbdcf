#include "text/utf8.h"

#include <cstdint>

#include "platform/kernels.h"
#include "text/utf8_kernels.h"

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

Utf8Encoded utf16_to_utf8_scalar(const char16_t* in, std::size_t count, char* out) noexcept {
  char* const start = out;
  bool replaced = false;
  std::size_t i = 0;
  kernels::encode_until(in, count, i, count, out, replaced);
  return {static_cast<std::size_t>(out - start), replaced};
}

namespace {

constexpr platform::KernelOption<Utf16ToUtf8> kEncoders[] = {
#ifdef TOV_TEXT_X86_64
    {"avx2", platform::runs_avx2, kernels::encode_avx2},
    {"sse2", platform::runs_sse2, kernels::encode_sse2},
#endif
    {"scalar", platform::runs_anywhere, utf16_to_utf8_scalar},
};

}  // namespace

Utf8Encoded utf16_to_utf8(const char16_t* in, std::size_t count, char* out) noexcept {
  static const Utf16ToUtf8 encoder = platform::choose_kernel(kEncoders).entry;
  return encoder(in, count, out);
}

std::vector<Utf16ToUtf8> utf16_to_utf8_variants() {
  std::vector<Utf16ToUtf8> variants = {utf16_to_utf8_scalar};
#ifdef TOV_TEXT_X86_64
  variants.push_back(kernels::encode_sse2);
  if (platform::cpu_features().avx2) variants.push_back(kernels::encode_avx2);
#endif
  return variants;
}

std::size_t utf8_sequence_length(std::string_view text, std::size_t i) noexcept {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

std::optional<std::size_t> first_invalid_utf8(std::string_view text) noexcept {
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t length = utf8_sequence_length(text, i);
    if (length == 0) return i;
    i += length;
  }
  return std::nullopt;
}

std::size_t utf8_boundary_before(std::string_view text, std::size_t index) noexcept {
  if (index >= text.size()) return index;
  // A UTF-8 character has at most three continuation bytes; stopping there
  // keeps ill-formed input from walking back further than one character.
  const auto continuation = [&](std::size_t at) {
    return (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
  };
  for (int step = 0; step < 3 && index > 0 && continuation(index); ++step) --index;
  return index;
}

}  // namespace tov::text
