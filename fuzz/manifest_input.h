// Turns fuzz input into manifests, and plain reference versions of the
// manifest operations to check the fast ones against.
//
// Encoding, per entry: a header byte whose high nibble times three is how many
// bytes of the previous key to reuse and whose low nibble is how many new key
// bytes follow; then those bytes; then a byte whose low three bits give the
// value length; then the value. Reused prefixes make long shared runs cheap
// to reach, and short entries let a few kilobytes hold hundreds of them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "manifest/manifest.h"

namespace tov::manifest::fuzz {

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::string bytes(std::size_t n) {
    n = std::min(n, size_ - std::min(pos_, size_));
    std::string out(reinterpret_cast<const char*>(data_) + pos_, n);
    pos_ += n;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

struct Manifest {
  std::vector<std::string> keys;
  std::vector<std::string> values;

  std::vector<Pair> pairs() const {
    std::vector<Pair> out;
    for (std::size_t i = 0; i < keys.size(); ++i) out.push_back({keys[i], values[i]});
    return out;
  }
};

// Reads up to `limit` entries.
inline Manifest read_manifest(Input& in, std::size_t limit) {
  Manifest m;
  std::string previous;
  while (!in.empty() && m.keys.size() < limit) {
    const std::uint8_t header = in.byte();
    std::string key = previous.substr(0, std::size_t{3} * (header >> 4));
    key += in.bytes(header & 0x0F);
    m.values.push_back(in.bytes(in.byte() & 0x07));
    m.keys.push_back(key);
    previous = std::move(key);
  }
  return m;
}

inline bool unsigned_less(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  });
}

inline std::string reference_text(const Manifest& m) {
  std::vector<std::size_t> order(m.keys.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return unsigned_less(m.keys[a], m.keys[b]);
  });
  std::string text;
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i != 0) text += '\n';
    text += m.keys[order[i]] + ':' + m.values[order[i]];
  }
  return text;
}

struct SortedDiff {
  std::vector<std::string> added, modified, deleted;
  bool operator==(const SortedDiff&) const = default;
};

inline SortedDiff reference_diff(const Manifest& first, const Manifest& second) {
  std::map<std::string, std::string> a, b;
  for (std::size_t i = 0; i < first.keys.size(); ++i) a[first.keys[i]] = first.values[i];
  for (std::size_t i = 0; i < second.keys.size(); ++i) b[second.keys[i]] = second.values[i];
  SortedDiff d;
  for (const auto& [k, v] : b) {
    const auto it = a.find(k);
    if (it == a.end()) {
      d.added.push_back(k);
    } else if (it->second != v) {
      d.modified.push_back(k);
    }
  }
  for (const auto& [k, v] : a) {
    if (b.find(k) == b.end()) d.deleted.push_back(k);
  }
  return d;
}

}  // namespace tov::manifest::fuzz
