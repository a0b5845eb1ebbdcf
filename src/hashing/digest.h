// SHA-256 digests and their hex rendering.
//
// Digests cannot fail: a failure inside the digest library, or exhausted
// memory while setting it up, means the process is broken and it aborts with
// a message on standard error.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tov::text {
class Utf8Windows;
}

namespace tov::hashing {

using Digest = std::array<std::uint8_t, 32>;

// Length of a hex digest: two lowercase characters per digest byte.
inline constexpr std::size_t kHexDigestSize = 64;

// One-shot digest of a byte range. `data` may be null when `size` is 0. The
// bytes are read in place; the per-thread digest context is reused, which
// keeps small inputs cheap.
Digest sha256(const void* data, std::size_t size);
inline Digest sha256(std::string_view bytes) {
  return sha256(bytes.data(), bytes.size());
}

// Digest of the UTF-8 text that `windows` reads, to its end or to the first
// window that could not be read (see Utf8Windows::failed).
Digest sha256(text::Utf8Windows& windows);

// Writes exactly 64 characters (no terminator), high nibble first.
void to_hex(const Digest& digest, char* out);
std::string to_hex(const Digest& digest);

// to_hex(sha256(data, size)).
std::string hex_digest(const void* data, std::size_t size);
inline std::string hex_digest(std::string_view bytes) {
  return hex_digest(bytes.data(), bytes.size());
}

// Incremental digest for data that arrives in pieces. finish() returns the
// digest and leaves the object ready for the next message, so one instance
// can serve many messages in turn.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(const void* data, std::size_t size);
  void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
  Digest finish();

 private:
  // The digest backend's state, opaque so that the backend's headers stay
  // out of every file that only wants a digest.
  void* context_;
};

}  // namespace tov::hashing
