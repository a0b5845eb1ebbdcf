// Seeded 64-bit hashing of keys for the manifest key tables.
//
// Keys come from outside (file names in a tree someone else controls), so
// each table draws a fresh seed: nobody can prepare a set of keys that
// collide in every table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "manifest/bytes.h"

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

namespace tov::manifest {

// Folds the 128-bit product of two words into 64 bits.
inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) {
#if defined(_MSC_VER) && !defined(__clang__)
  std::uint64_t high;
  const std::uint64_t low = _umul128(a, b, &high);
  return low ^ high;
#else
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
#endif
}

// Bijective scrambler used to spread seeds.
inline std::uint64_t scramble(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// A seed that differs for every call within the process and between
// processes.
std::uint64_t fresh_seed();

class KeyHasher {
 public:
  explicit KeyHasher(std::uint64_t seed)
      : s0_(scramble(seed)),
        s1_(scramble(seed + 0x9e3779b97f4a7c15ULL)),
        s2_(scramble(seed + 0x3c6ef372fe94f82aULL)) {}

  std::uint64_t operator()(std::string_view key) const {
    const unsigned char* p = bytes::data(key);
    const std::size_t n = key.size();
    std::uint64_t h = s0_ ^ n;
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    if (n <= 16) {
      // Overlapping reads cover every byte without a loop.
      if (n >= 8) {
        a = bytes::load64(p);
        b = bytes::load64(p + n - 8);
      } else if (n >= 4) {
        a = bytes::load32(p);
        b = bytes::load32(p + n - 4);
      } else if (n > 0) {
        a = (std::uint64_t{p[0]} << 16) | (std::uint64_t{p[n >> 1]} << 8) | p[n - 1];
      }
    } else {
      std::size_t rest = n;
      while (rest > 16) {
        h = fold_multiply(bytes::load64(p) ^ s1_, bytes::load64(p + 8) ^ h);
        p += 16;
        rest -= 16;
      }
      a = bytes::load64(p + rest - 16);
      b = bytes::load64(p + rest - 8);
    }
    return fold_multiply(fold_multiply(a ^ s1_, b ^ h) ^ s2_, n ^ s0_ ^ s2_);
  }

 private:
  std::uint64_t s0_;
  std::uint64_t s1_;
  std::uint64_t s2_;
};

}  // namespace tov::manifest
