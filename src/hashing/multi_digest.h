// SHA-256 of many independent messages at once, interleaved over the lanes
// of a multi-buffer kernel. Digests are exactly those of `sha256`.
#pragma once

#include <array>
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

// How the lanes run on this processor, chosen once per process from the
// kernels it runs and a fixed table of their measured speeds (no timing at
// run time), or the one kernel TOV_ENGINE_KERNEL forces: how many lanes are
// worth keeping in flight, and for each number of live lanes the kernel that
// takes them fastest. The lane state is the same
// for every kernel, so a step may use one kernel and the next another: a
// wide kernel while many messages are live, a narrow one as they drain.
struct LanePlan {
  std::size_t lanes = 1;
  std::array<lanes::Kernel, lanes::kMaxLanes + 1> kernel_for{};  // by live lanes
  // False when only the reference kernel is available; callers then do
  // better with the single-stream digest, which has vector code of its own.
  bool worthwhile = false;

  // Every step on `kernel`, with up to `lanes` lanes: for tests and
  // benchmarks of one kernel.
  static LanePlan only(lanes::Kernel kernel, std::size_t lanes);
};
const LanePlan& lane_plan() noexcept;

// Runs every message of `source` through up to `lanes` lanes (at least 1,
// at most plan.lanes) and returns when the source has no more. Memory is a
// fixed per-lane block buffer; the message bytes are read in place.
void hash_messages(MessageSource& source, const LanePlan& plan, std::size_t lanes);
inline void hash_messages(MessageSource& source, lanes::Kernel kernel, std::size_t lanes) {
  hash_messages(source, LanePlan::only(kernel, lanes), lanes);
}

// Digests of messages already in memory: out[i] = sha256(messages[i]).
void sha256_messages(std::span<const std::span<const std::uint8_t>> messages, Digest* out,
                     const LanePlan& plan);
inline void sha256_messages(std::span<const std::span<const std::uint8_t>> messages, Digest* out,
                            lanes::Kernel kernel, std::size_t lanes) {
  sha256_messages(messages, out, LanePlan::only(kernel, lanes));
}
inline void sha256_messages(std::span<const std::span<const std::uint8_t>> messages, Digest* out) {
  sha256_messages(messages, out, lane_plan());
}

// Bytes per nanosecond per core of `kernel` over `lanes` lanes, best of a
// few short rounds of in-cache blocks: what the benchmark reports, and what
// the speed table behind lane_plan() was made from.
double measure_lanes(lanes::Kernel kernel, std::size_t lanes);

}  // namespace tov::hashing
