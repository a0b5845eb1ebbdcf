#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <limits>
#include <random>

#include "manifest/bytes.h"
#include "manifest/key_hash.h"
#include "manifest/manifest.h"

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

// One open-addressing table for both manifests. A slot belongs to one key and
// holds the position of that key's last entry in each manifest, so the
// duplicate rule and the comparison need one hash per entry.
template <typename Index>
class DiffTable {
 public:
  static constexpr Index kNone = std::numeric_limits<Index>::max();

  struct Slot {
    std::uint32_t tag;
    Index first;
    Index second;
  };

  DiffTable(std::span<const Pair> first, std::span<const Pair> second, std::size_t capacity)
      : first_(first),
        second_(second),
        hasher_(fresh_seed()),
        mask_(capacity - 1),
        slots_(capacity, Slot{0, kNone, kNone}) {}

  // Records entry `index` as the latest one of its key in the first (or
  // second) manifest and returns the key's slot.
  Index put_first(std::size_t index) {
    const Index pos = locate(first_[index].key);
    slots_[pos].first = static_cast<Index>(index);
    return pos;
  }
  Index put_second(std::size_t index) {
    const Index pos = locate(second_[index].key);
    slots_[pos].second = static_cast<Index>(index);
    return pos;
  }

  const Slot& operator[](Index pos) const { return slots_[pos]; }

 private:
  // The key's slot; a new key gets an empty one that the caller fills at once.
  Index locate(std::string_view key) {
    const std::uint64_t hash = hasher_(key);
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    std::size_t pos = static_cast<std::size_t>(hash) & mask_;
    for (;;) {
      Slot& slot = slots_[pos];
      if (slot.first == kNone && slot.second == kNone) {
        slot.tag = tag;
        return static_cast<Index>(pos);
      }
      if (slot.tag == tag && bytes::equal(slot_key(slot), key)) return static_cast<Index>(pos);
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
  DiffTable<Index> table(first, second, capacity);
  constexpr Index kNone = DiffTable<Index>::kNone;

  // Slot of every entry, so the reporting passes can walk the manifests in
  // input order (a stable result) without hashing again.
  std::vector<Index> first_slots(first.size());
  std::vector<Index> second_slots(second.size());
  for (std::size_t i = 0; i < first.size(); ++i) first_slots[i] = table.put_first(i);
  for (std::size_t i = 0; i < second.size(); ++i) second_slots[i] = table.put_second(i);

  DiffResult result;
  for (std::size_t i = 0; i < second.size(); ++i) {
    const auto& slot = table[second_slots[i]];
    if (slot.second != i) continue;  // a later entry has the same key
    if (slot.first == kNone) {
      result.added.push_back(second[i].key);
    } else if (!bytes::equal(first[slot.first].value, second[i].value)) {
      result.modified.push_back(second[i].key);
    }
  }
  for (std::size_t i = 0; i < first.size(); ++i) {
    const auto& slot = table[first_slots[i]];
    if (slot.first == i && slot.second == kNone) result.deleted.push_back(first[i].key);
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
