#include "manifest/key_order.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "manifest/bytes.h"

namespace tov::manifest {
namespace {

// Keys are sorted most-significant part first, seven bytes per level. At each
// level a record carries a sort word: the next seven key bytes big-endian in
// the top 56 bits (zero-padded past the end of the key) and, in the low byte,
// how many key bytes remain from this depth, capped at 8. Two keys whose
// padded bytes match but whose remaining lengths differ are a prefix and its
// extension, and the count puts the prefix first. A count of 8 means both
// keys go on past these seven bytes, so such ties move on to the next level.
constexpr std::size_t kStep = 7;
constexpr std::uint64_t kContinues = 8;

// Below this size a comparison sort beats the radix passes' fixed cost.
constexpr std::size_t kRadixMin = 256;

struct Record {
  std::uint64_t word;
  std::size_t index;
};

std::uint64_t sort_word(std::string_view key, std::size_t depth) {
  const unsigned char* p = bytes::data(key) + depth;
  const std::size_t rest = key.size() - depth;
  if (rest >= 8) return (bytes::load_be64(p) & ~std::uint64_t{0xFF}) | kContinues;
  unsigned char padded[8] = {};
  if (rest != 0) std::memcpy(padded, p, rest);
  return bytes::load_be64(padded) | rest;
}

// Full order for records of one group at `depth`, falling back to the key
// bytes past the word and finally to input position, which keeps equal keys
// stable even under an unstable sort.
struct RecordLess {
  std::span<const Pair> pairs;
  std::size_t depth;

  bool operator()(const Record& a, const Record& b) const {
    if (a.word != b.word) return a.word < b.word;
    if ((a.word & 0xFF) == kContinues) {
      const std::size_t from = depth + kStep;
      const int c =
          bytes::compare(pairs[a.index].key.substr(from), pairs[b.index].key.substr(from));
      if (c != 0) return c < 0;
    }
    return a.index < b.index;
  }
};

// Stable least-significant-byte-first radix sort on the words, skipping the
// byte positions where every record agrees.
void radix_sort(Record* records, Record* scratch, std::size_t n) {
  std::array<std::array<std::size_t, 256>, 8> counts{};
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t w = records[i].word;
    for (unsigned b = 0; b < 8; ++b) ++counts[b][(w >> (8 * b)) & 0xFF];
  }
  Record* src = records;
  Record* dst = scratch;
  for (unsigned b = 0; b < 8; ++b) {
    auto& count = counts[b];
    const unsigned shift = 8 * b;
    if (count[(src[0].word >> shift) & 0xFF] == n) continue;
    std::size_t offset = 0;
    for (auto& c : count) {
      const std::size_t here = c;
      c = offset;
      offset += here;
    }
    for (std::size_t i = 0; i < n; ++i) dst[count[(src[i].word >> shift) & 0xFF]++] = src[i];
    std::swap(src, dst);
  }
  if (src != records) std::copy(src, src + n, records);
}

// Length of the key bytes that every record of the group shares from `depth`.
std::size_t shared_prefix(std::span<const Pair> pairs, const Record* records, std::size_t n,
                          std::size_t depth) {
  const std::string_view head = pairs[records[0].index].key;
  std::size_t shared = head.size() - depth;
  for (std::size_t i = 1; i < n && shared != 0; ++i) {
    const std::string_view key = pairs[records[i].index].key;
    shared = bytes::common_prefix(bytes::data(head) + depth, bytes::data(key) + depth,
                                  std::min(shared, key.size() - depth));
  }
  return shared;
}

}  // namespace

std::vector<std::size_t> key_order(std::span<const Pair> pairs) {
  const std::size_t n = pairs.size();
  std::vector<Record> records(n);
  for (std::size_t i = 0; i < n; ++i) records[i] = {0, i};

  // Groups of records that share every key byte before `depth` and that are
  // in input order among themselves. An explicit stack keeps long shared
  // prefixes from turning into deep recursion.
  struct Group {
    std::size_t begin;
    std::size_t end;
    std::size_t depth;
  };
  std::vector<Group> pending;
  if (n > 1) pending.push_back({0, n, 0});
  std::vector<Record> scratch;

  while (!pending.empty()) {
    const Group group = pending.back();
    pending.pop_back();
    Record* first = records.data() + group.begin;
    const std::size_t size = group.end - group.begin;
    const std::size_t depth = group.depth;

    bool all_same = true;
    for (std::size_t i = 0; i < size; ++i) {
      first[i].word = sort_word(pairs[first[i].index].key, depth);
      all_same = all_same && first[i].word == first[0].word;
    }
    if (all_same) {
      // Either every key ends here and they are all equal (input order is
      // already right), or they share a longer prefix worth skipping in one go.
      if ((first[0].word & 0xFF) == kContinues) {
        pending.push_back(
            {group.begin, group.end, depth + shared_prefix(pairs, first, size, depth)});
      }
      continue;
    }
    if (size < kRadixMin) {
      std::sort(first, first + size, RecordLess{pairs, depth});
      continue;
    }
    if (scratch.empty()) scratch.resize(n);
    radix_sort(first, scratch.data(), size);

    for (std::size_t i = 0; i < size;) {
      std::size_t j = i + 1;
      while (j < size && first[j].word == first[i].word) ++j;
      if (j - i > 1 && (first[i].word & 0xFF) == kContinues) {
        pending.push_back({group.begin + i, group.begin + j, depth + kStep});
      }
      i = j;
    }
  }

  std::vector<std::size_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = records[i].index;
  return order;
}

}  // namespace tov::manifest
