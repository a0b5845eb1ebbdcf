// Small byte-level helpers shared by the manifest sort and the key tables.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tov::manifest::bytes {

inline const unsigned char* data(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

inline std::uint64_t load64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline std::uint32_t load32(const unsigned char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline std::uint64_t byte_swap(std::uint64_t v) {
#if defined(_MSC_VER) && !defined(__clang__)
  return _byteswap_uint64(v);
#else
  return __builtin_bswap64(v);
#endif
}

// A hint to start loading `p`'s cache line; never faults, even on null.
inline void prefetch(const void* p) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p);
#else
  (void)p;
#endif
}

// Eight bytes read so that integer order equals unsigned byte order.
inline std::uint64_t load_be64(const unsigned char* p) {
  const std::uint64_t v = load64(p);
  if constexpr (std::endian::native == std::endian::little) {
    return byte_swap(v);
  } else {
    return v;
  }
}

// Length of the common prefix of two ranges of `n` bytes each.
inline std::size_t common_prefix(const unsigned char* a, const unsigned char* b, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const std::uint64_t x = load64(a + i) ^ load64(b + i);
    if (x != 0) {
      if constexpr (std::endian::native == std::endian::little) {
        return i + static_cast<std::size_t>(std::countr_zero(x)) / 8;
      } else {
        return i + static_cast<std::size_t>(std::countl_zero(x)) / 8;
      }
    }
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// Three-way comparison in unsigned byte order, a prefix before its extensions.
inline int compare(std::string_view a, std::string_view b) {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  if (n != 0) {
    if (const int c = std::memcmp(a.data(), b.data(), n); c != 0) return c;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

// Byte equality that tolerates null views of length zero.
inline bool equal(std::string_view a, std::string_view b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

}  // namespace tov::manifest::bytes
