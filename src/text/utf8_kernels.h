// Internal: the pieces the transcoder's kernels share, and the kernels for
// each instruction set. Exposed so that the dispatcher in utf8.cc and the
// tests can reach every kernel, not only the one the processor picks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "text/utf8.h"

namespace tov::text::kernels {

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

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TOV_TEXT_X86_64 1
// Baseline x86-64.
Utf8Encoded encode_sse2(const char16_t* in, std::size_t count, char* out) noexcept;
// Only after cpu_features() reported AVX2.
Utf8Encoded encode_avx2(const char16_t* in, std::size_t count, char* out) noexcept;
#endif

}  // namespace tov::text::kernels
