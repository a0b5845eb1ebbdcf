#include "manifest/manifest.h"

#include <array>
#include <cstring>

#include "manifest/bytes.h"
#include "manifest/key_order.h"

namespace tov::manifest {
namespace {

// Writes straight into a buffer already sized to the whole text.
class TextSink {
 public:
  explicit TextSink(char* out) : out_(out) {}

  void put(std::string_view s) {
    if (s.empty()) return;
    std::memcpy(out_, s.data(), s.size());
    out_ += s.size();
  }
  void put(char c) { *out_++ = c; }

 private:
  char* out_;
};

// Gathers the many short pieces of the text into blocks before hashing them:
// one digest update per line would cost more in call overhead than the lines
// cost to copy.
class HashSink {
 public:
  explicit HashSink(hashing::Sha256& sha) : sha_(sha) {}

  void put(std::string_view s) {
    if (s.size() > buffer_.size() - used_) {
      flush();
      if (s.size() >= buffer_.size()) {
        sha_.update(s.data(), s.size());
        return;
      }
    }
    if (s.empty()) return;
    std::memcpy(buffer_.data() + used_, s.data(), s.size());
    used_ += s.size();
  }
  void put(char c) {
    if (used_ == buffer_.size()) flush();
    buffer_[used_++] = c;
  }
  void flush() {
    if (used_ != 0) sha_.update(buffer_.data(), used_);
    used_ = 0;
  }

 private:
  hashing::Sha256& sha_;
  std::array<char, 16 * 1024> buffer_;
  std::size_t used_ = 0;
};

template <typename Sink>
void write_text(std::span<const Pair> pairs, Sink& sink) {
  const std::vector<std::size_t> order = key_order(pairs);
  // Sorted order is scattered in memory unless the input came sorted;
  // fetching a few lines ahead overlaps the cache misses.
  constexpr std::size_t kAhead = 8;
  const std::size_t n = order.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i + 2 * kAhead < n) bytes::prefetch(&pairs[order[i + 2 * kAhead]]);
    if (i + kAhead < n) {
      const Pair& next = pairs[order[i + kAhead]];
      bytes::prefetch(next.key.data());
      bytes::prefetch(next.value.data());
    }
    const Pair& pair = pairs[order[i]];
    if (i != 0) sink.put('\n');
    sink.put(pair.key);
    sink.put(':');
    sink.put(pair.value);
  }
}

}  // namespace

std::size_t canonical_text_size(std::span<const Pair> pairs) {
  if (pairs.empty()) return 0;
  std::size_t size = 2 * pairs.size() - 1;
  for (const Pair& pair : pairs) size += pair.key.size() + pair.value.size();
  return size;
}

std::string canonical_text(std::span<const Pair> pairs) {
  std::string text(canonical_text_size(pairs), '\0');
  TextSink sink(text.data());
  write_text(pairs, sink);
  return text;
}

hashing::Digest merkle_root(std::span<const Pair> pairs) {
  hashing::Sha256 sha;
  HashSink sink(sha);
  write_text(pairs, sink);
  sink.flush();
  return sha.finish();
}

}  // namespace tov::manifest
