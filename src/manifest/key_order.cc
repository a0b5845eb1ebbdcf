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

// Words cached per record. Reading a key means a cache miss once the records
// are no longer in input order, so each visit to a key fetches the words of
// several levels at once; typical paths are settled within these 21 bytes.
constexpr std::size_t kCached = 3;

// Below this size a comparison sort beats the radix passes' fixed cost.
constexpr std::size_t kRadixMin = 256;

struct Record {
  std::array<std::uint64_t, kCached> words;
  std::size_t index;
};

bool continues(std::uint64_t word) {
  return (word & 0xFF) == kContinues;
}

std::uint64_t sort_word(const unsigned char* p, std::size_t rest) {
  if (rest >= 8) return (bytes::load_be64(p) & ~std::uint64_t{0xFF}) | kContinues;
  unsigned char padded[8] = {};
  if (rest != 0) std::memcpy(padded, p, rest);
  return bytes::load_be64(padded) | rest;
}

// Fills the record's words from `depth` on. Words after the key's end are
// zero; they are never compared, because a word that does not continue
// settles the order or proves the keys equal.
void load_words(Record& record, std::string_view key, std::size_t depth) {
  const unsigned char* p = bytes::data(key);
  std::uint64_t word = kContinues;
  for (std::size_t level = 0; level < kCached; ++level) {
    const std::size_t at = depth + level * kStep;
    word = continues(word) ? sort_word(p + at, key.size() - at) : 0;
    record.words[level] = word;
  }
}

// Full order for the records of one group from `level` on, falling back to
// the key bytes past the cached words and finally to input position, which
// keeps equal keys stable even under an unstable sort.
struct RecordLess {
  std::span<const Pair> pairs;
  std::size_t depth;
  std::size_t level;

  bool operator()(const Record& a, const Record& b) const {
    for (std::size_t l = level; l < kCached; ++l) {
      if (a.words[l] != b.words[l]) return a.words[l] < b.words[l];
      if (!continues(a.words[l])) return a.index < b.index;
    }
    const std::size_t from = depth + (kCached - level) * kStep;
    const int c = bytes::compare(pairs[a.index].key.substr(from), pairs[b.index].key.substr(from));
    if (c != 0) return c < 0;
    return a.index < b.index;
  }
};

// Stable least-significant-byte-first radix sort on one word of each
// record, skipping the byte positions where every record agrees.
void radix_sort(Record* records, Record* scratch, std::size_t n, std::size_t level) {
  std::array<std::array<std::size_t, 256>, 8> counts{};
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t w = records[i].words[level];
    for (unsigned b = 0; b < 8; ++b) ++counts[b][(w >> (8 * b)) & 0xFF];
  }
  Record* src = records;
  Record* dst = scratch;
  for (unsigned b = 0; b < 8; ++b) {
    auto& count = counts[b];
    const unsigned shift = 8 * b;
    if (count[(src[0].words[level] >> shift) & 0xFF] == n) continue;
    std::size_t offset = 0;
    for (auto& c : count) {
      const std::size_t here = c;
      c = offset;
      offset += here;
    }
    for (std::size_t i = 0; i < n; ++i) {
      dst[count[(src[i].words[level] >> shift) & 0xFF]++] = src[i];
    }
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

// Reloads the cached words of a group whose keys agree on their first
// `depth` bytes. Records are out of input order by now, so the key reads are
// scattered; fetching ahead hides part of their latency.
void reload(std::span<const Pair> pairs, Record* records, std::size_t n, std::size_t depth) {
  constexpr std::size_t kAhead = 8;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + 2 * kAhead < n) bytes::prefetch(&pairs[records[i + 2 * kAhead].index]);
    if (i + kAhead < n) bytes::prefetch(pairs[records[i + kAhead].index].key.data() + depth);
    load_words(records[i], pairs[records[i].index].key, depth);
  }
}

}  // namespace

std::vector<std::size_t> key_order(std::span<const Pair> pairs) {
  const std::size_t n = pairs.size();
  std::vector<Record> records(n);
  for (std::size_t i = 0; i < n; ++i) {
    records[i].index = i;
    load_words(records[i], pairs[i].key, 0);
  }

  // Groups of records that share every key byte before `depth`, that are in
  // input order among themselves and whose word `level` belongs to `depth`
  // (kCached: words still to be loaded). An explicit stack keeps long shared
  // prefixes from turning into deep recursion.
  struct Group {
    std::size_t begin;
    std::size_t end;
    std::size_t depth;
    std::size_t level;
  };
  std::vector<Group> pending;
  if (n > 1) pending.push_back({0, n, 0, 0});
  std::vector<Record> scratch;

  while (!pending.empty()) {
    const auto [begin, end, depth, cached_level] = pending.back();
    pending.pop_back();
    Record* first = records.data() + begin;
    const std::size_t size = end - begin;
    std::size_t level = cached_level;

    if (level == kCached) {
      reload(pairs, first, size, depth);
      level = 0;
      const auto same_words = [&](const Record& r) { return r.words == first[0].words; };
      if (continues(first[0].words[kCached - 1]) && std::all_of(first, first + size, same_words)) {
        // Every cached word ties: skip the whole shared run in one go rather
        // than reloading it a few bytes at a time.
        pending.push_back({begin, end, depth + shared_prefix(pairs, first, size, depth), kCached});
        continue;
      }
    }

    const std::uint64_t head = first[0].words[level];
    const auto same_word = [&](const Record& r) { return r.words[level] == head; };
    if (std::all_of(first, first + size, same_word)) {
      // Either every key ends here and they are all equal (input order is
      // already right) or the tie moves on to the next word.
      if (continues(head)) pending.push_back({begin, end, depth + kStep, level + 1});
      continue;
    }
    if (size < kRadixMin) {
      std::sort(first, first + size, RecordLess{pairs, depth, level});
      continue;
    }
    if (scratch.empty()) scratch.resize(n);
    radix_sort(first, scratch.data(), size, level);

    for (std::size_t i = 0; i < size;) {
      std::size_t j = i + 1;
      while (j < size && first[j].words[level] == first[i].words[level]) ++j;
      if (j - i > 1 && continues(first[i].words[level])) {
        pending.push_back({begin + i, begin + j, depth + kStep, level + 1});
      }
      i = j;
    }
  }

  std::vector<std::size_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = records[i].index;
  return order;
}

}  // namespace tov::manifest
