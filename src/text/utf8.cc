#include "text/utf8.h"

#include <cstdint>

#include "platform/cpu.h"
#include "text/utf8_kernels.h"

namespace tov::text {

std::size_t utf16_length(std::string_view text) noexcept {
  // Every byte but a continuation byte (10xxxxxx) starts a character, and a
  // four-byte lead (11110xxx) starts one that needs a surrogate pair.
  // Branch-free, so the compiler turns it into vector code.
  std::size_t units = 0;
  for (const char c : text) {
    const auto byte = static_cast<std::uint8_t>(c);
    units +=
        static_cast<std::size_t>((byte & 0xC0) != 0x80) + static_cast<std::size_t>(byte >= 0xF0);
  }
  return units;
}

Utf8Encoded utf16_to_utf8_scalar(const char16_t* in, std::size_t count, char* out) noexcept {
  char* const start = out;
  bool replaced = false;
  std::size_t i = 0;
  kernels::encode_until(in, count, i, count, out, replaced);
  return {static_cast<std::size_t>(out - start), replaced};
}

Utf8Encoded utf16_to_utf8(const char16_t* in, std::size_t count, char* out) noexcept {
#ifdef TOV_TEXT_X86_64
  static const Utf16ToUtf8 encoder =
      platform::cpu_features().avx2 ? kernels::encode_avx2 : kernels::encode_sse2;
  return encoder(in, count, out);
#else
  return utf16_to_utf8_scalar(in, count, out);
#endif
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
