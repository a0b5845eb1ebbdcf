// SHA-256 of many independent messages at once, interleaved over the lanes
// of a multi-buffer kernel. Digests are exactly those of `sha256`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "hashing/digest.h"
#include "hashing/lanes.h"

namespace tov::hashing {

// Feeds messages to the lanes, one message per lane at a time. Each lane
// keeps its message until the message ends or fails; the lane then asks for
// the next one at once, so short messages do not leave lanes idle.
class MessageSource {
 public:
  virtual ~MessageSource() = default;
  // Starts the next message on `lane`; false when there are no more.
  virtual bool open(std::size_t lane) = 0;
  // The lane message's next bytes, empty at its end. The bytes stay valid
  // until the next call for this lane. False drops the message: it gets no
  // digest and the lane opens the next one.
  virtual bool read(std::size_t lane, std::span<const std::uint8_t>& bytes) = 0;
  // The lane's message is complete.
  virtual void finish(std::size_t lane, const Digest& digest) = 0;
};

// The kernel and lane count chosen for this processor, once per process:
// the fastest supported kernel, with the lane count that measured fastest
// for it on this processor when first asked.
struct LanePlan {
  lanes::Kernel kernel;
  std::size_t lanes;
  // False when only the reference kernel is available; callers then do
  // better with the single-stream digest, which has vector code of its own.
  bool worthwhile;
};
const LanePlan& lane_plan() noexcept;

// Runs every message of `source` through `lanes` lanes (1 to max_lanes) of
// `kernel` and returns when the source has no more. Memory is a fixed
// per-lane block buffer; the message bytes are read in place.
void hash_messages(MessageSource& source, lanes::Kernel kernel, std::size_t lanes);
inline void hash_messages(MessageSource& source) {
  hash_messages(source, lane_plan().kernel, lane_plan().lanes);
}

// Digests of messages already in memory: out[i] = sha256(messages[i]).
void sha256_messages(std::span<const std::span<const std::uint8_t>> messages, Digest* out,
                     lanes::Kernel kernel, std::size_t lanes);
inline void sha256_messages(std::span<const std::span<const std::uint8_t>> messages,
                            Digest* out) {
  sha256_messages(messages, out, lane_plan().kernel, lane_plan().lanes);
}

// Bytes per nanosecond per core of `kernel` over `lanes` lanes, best of a
// few short rounds: what lane_plan() compares, and what benchmarks report.
double measure_lanes(lanes::Kernel kernel, std::size_t lanes);

}  // namespace tov::hashing
