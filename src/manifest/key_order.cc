#include "manifest/key_order.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <string_view>
#include <vector>

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

// Below this size a comparison sort beats a radix pass's fixed cost.
constexpr std::size_t kRadixMin = 48;

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

// Bits in which some record's word `level` differs from the first record's.
std::uint64_t differing_bits(const Record* records, std::size_t n, std::size_t level) {
  const std::uint64_t head = records[0].words[level];
  std::uint64_t bits = 0;
  for (std::size_t i = 1; i < n; ++i) bits |= records[i].words[level] ^ head;
  return bits;
}

// One stable counting pass on the byte of word `level` at `shift`. Calls
// `bucket(offset, size)` for every bucket of two or more records.
template <typename OnBucket>
void split_on_byte(Record* records, Record* scratch, std::size_t n, std::size_t level,
                   unsigned shift, OnBucket bucket) {
  std::array<std::size_t, 256> count{};
  for (std::size_t i = 0; i < n; ++i) ++count[(records[i].words[level] >> shift) & 0xFF];
  std::array<std::size_t, 256> next;
  std::size_t offset = 0;
  for (std::size_t b = 0; b < 256; ++b) {
    next[b] = offset;
    if (count[b] > 1) bucket(offset, count[b]);
    offset += count[b];
  }
  for (std::size_t i = 0; i < n; ++i) {
    scratch[next[(records[i].words[level] >> shift) & 0xFF]++] = records[i];
  }
  std::copy(scratch, scratch + n, records);
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
// `depth` bytes. Tied records are still in input order, but a group is a
// sparse subset of the input, so the key reads skip through memory; fetching
// ahead hides part of their latency.
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
  // Manifests made by a walk come sorted, and one pass tells: equal keys in
  // input order are in order already.
  std::size_t in_order = 1;
  while (in_order < n && bytes::compare(pairs[in_order - 1].key, pairs[in_order].key) <= 0) {
    ++in_order;
  }
  if (n == 0 || in_order == n) {
    std::vector<std::size_t> identity(n);
    std::iota(identity.begin(), identity.end(), std::size_t{0});
    return identity;
  }
  std::vector<Record> records(n);
  for (std::size_t i = 0; i < n; ++i) {
    records[i].index = i;
    load_words(records[i], pairs[i].key, 0);
  }

  // Groups of records that share every key byte before `depth`, that are in
  // input order among themselves and whose word `level` belongs to `depth`
  // (kCached: words still to be loaded). Each pass splits a group on its most
  // significant differing byte, so large groups shrink fast while their
  // records are still in cache. An explicit stack keeps long shared prefixes
  // from turning into deep recursion.
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
    const Group group = pending.back();
    pending.pop_back();
    // Plain copies rather than structured bindings: the bucket callback
    // captures them.
    const std::size_t begin = group.begin;
    const std::size_t end = group.end;
    const std::size_t depth = group.depth;
    Record* first = records.data() + begin;
    const std::size_t size = end - begin;
    std::size_t level = group.level;

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

    if (size < kRadixMin) {
      std::sort(first, first + size, RecordLess{pairs, depth, level});
      continue;
    }
    const std::uint64_t differing = differing_bits(first, size, level);
    if (differing == 0) {
      // Either every key ends here and they are all equal (input order is
      // already right) or the tie moves on to the next word.
      if (continues(first[0].words[level])) {
        pending.push_back({begin, end, depth + kStep, level + 1});
      }
      continue;
    }
    if (scratch.empty()) scratch.resize(n);
    const auto shift = static_cast<unsigned>(63 - std::countl_zero(differing)) & ~7u;
    split_on_byte(first, scratch.data(), size, level, shift,
                  [&](std::size_t offset, std::size_t count) {
                    pending.push_back({begin + offset, begin + offset + count, depth, level});
                  });
  }

  std::vector<std::size_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = records[i].index;
  return order;
}

}  // namespace tov::manifest
