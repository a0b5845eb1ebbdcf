#include "manifest/manifest.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <limits>
#include <random>

#include "manifest/bytes.h"
#include "manifest/key_hash.h"

namespace tov::manifest {

std::uint64_t fresh_seed() {
  static const std::uint64_t process_seed = [] {
    std::uint64_t seed =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    seed ^= reinterpret_cast<std::uintptr_t>(&seed);
    try {
      std::random_device device;
      seed ^= (std::uint64_t{device()} << 32) | device();
    } catch (...) {
      // No entropy source: the clock and the stack address still vary.
    }
    return seed;
  }();
  static std::atomic<std::uint64_t> counter{0};
  return scramble(process_seed + counter.fetch_add(1, std::memory_order_relaxed));
}

namespace {

enum class Change : std::uint8_t { kNone, kAdded, kModified, kDeleted };

// One open-addressing table for both manifests. A slot belongs to one key and
// holds the position of that key's last entry in each manifest, so the
// duplicate rule and the comparison need one hash per entry.
template <typename Index>
class DiffTable {
 public:
  static constexpr Index kNone = std::numeric_limits<Index>::max();

  DiffTable(std::span<const Pair> first, std::span<const Pair> second, std::size_t capacity)
      : first_(first),
        second_(second),
        hasher_(fresh_seed()),
        mask_(capacity - 1),
        slots_(capacity, Slot{0, kNone, kNone}) {}

  // Decides the change of every key and notes it at the key's last entry:
  // `deleted` in the first manifest, `added` or `modified` in the second.
  // All of the first manifest goes in before the second, so when a second
  // entry arrives its key's first-manifest value is already final, and the
  // verdict is taken while that entry is still in cache.
  void classify(std::span<Change> first_changes, std::span<Change> second_changes) {
    insert_all(first_, [&](Slot& slot, Index i) {
      if (slot.first != kNone) first_changes[slot.first] = Change::kNone;
      slot.first = i;
      first_changes[i] = Change::kDeleted;  // until the second manifest has the key
    });
    insert_all(second_, [&](Slot& slot, Index i) {
      if (slot.second != kNone) second_changes[slot.second] = Change::kNone;
      slot.second = i;
      if (slot.first == kNone) {
        second_changes[i] = Change::kAdded;
        return;
      }
      first_changes[slot.first] = Change::kNone;
      second_changes[i] = bytes::equal(first_[slot.first].value, second_[i].value)
                              ? Change::kNone
                              : Change::kModified;
    });
  }

 private:
  struct Slot {
    std::uint32_t tag;
    Index first;
    Index second;
  };

  // Hashes run a few entries ahead of the inserts and fetch their slots
  // early, so the table's cache misses overlap instead of queueing.
  template <typename OnSlot>
  void insert_all(std::span<const Pair> pairs, OnSlot on_slot) {
    constexpr std::size_t kAhead = 8;
    std::uint64_t hashes[kAhead];
    const std::size_t n = pairs.size();
    for (std::size_t i = 0; i < n + kAhead; ++i) {
      // Entry i - kAhead leaves the ring before entry i takes its place.
      if (i >= kAhead) {
        const std::size_t j = i - kAhead;
        on_slot(locate(pairs[j].key, hashes[j % kAhead]), static_cast<Index>(j));
      }
      if (i < n) {
        const std::uint64_t hash = hasher_(pairs[i].key);
        hashes[i % kAhead] = hash;
        bytes::prefetch(&slots_[static_cast<std::size_t>(hash) & mask_]);
      }
    }
  }

  // The key's slot; a new key gets an empty one that the caller fills at once.
  Slot& locate(std::string_view key, std::uint64_t hash) {
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    std::size_t pos = static_cast<std::size_t>(hash) & mask_;
    for (;;) {
      Slot& slot = slots_[pos];
      if (slot.first == kNone && slot.second == kNone) {
        slot.tag = tag;
        return slot;
      }
      if (slot.tag == tag && bytes::equal(slot_key(slot), key)) return slot;
      pos = (pos + 1) & mask_;
    }
  }

  std::string_view slot_key(const Slot& slot) const {
    return slot.first != kNone ? first_[slot.first].key : second_[slot.second].key;
  }

  std::span<const Pair> first_;
  std::span<const Pair> second_;
  KeyHasher hasher_;
  std::size_t mask_;
  std::vector<Slot> slots_;
};

template <typename Index>
DiffResult diff_with(std::span<const Pair> first, std::span<const Pair> second,
                     std::size_t capacity) {
  std::vector<Change> first_changes(first.size(), Change::kNone);
  std::vector<Change> second_changes(second.size(), Change::kNone);
  DiffTable<Index>(first, second, capacity).classify(first_changes, second_changes);

  // Collected in input order, so equal inputs give equal results.
  DiffResult result;
  for (std::size_t i = 0; i < second.size(); ++i) {
    if (second_changes[i] == Change::kAdded) result.added.push_back(second[i].key);
    if (second_changes[i] == Change::kModified) result.modified.push_back(second[i].key);
  }
  for (std::size_t i = 0; i < first.size(); ++i) {
    if (first_changes[i] == Change::kDeleted) result.deleted.push_back(first[i].key);
  }
  return result;
}

}  // namespace

DiffResult diff(std::span<const Pair> first, std::span<const Pair> second) {
  const std::size_t entries = first.size() + second.size();
  if (entries == 0) return {};
  // At most four slots in five taken even if no key is shared; probe runs
  // stay short and there is always an empty slot to stop a search.
  const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, entries + entries / 4 + 1));
  if (capacity <= (std::size_t{1} << 31)) return diff_with<std::uint32_t>(first, second, capacity);
  return diff_with<std::uint64_t>(first, second, capacity);
}

}  // namespace tov::manifest
