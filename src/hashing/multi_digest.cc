#include "hashing/multi_digest.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "platform/kernels.h"

namespace tov::hashing {

namespace {

using lanes::kMaxLanes;

struct Lane {
  lanes::State state;
  std::uint64_t length = 0;               // message bytes read so far
  std::span<const std::uint8_t> pending;  // read but not yet placed in blocks
  const std::uint8_t* ready = nullptr;    // blocks the kernel takes next
  std::size_t ready_blocks = 0;
  std::size_t carry_size = 0;  // bytes gathered in `carry`
  bool final = false;          // `ready` is the padded tail
  bool active = false;
  // A block assembled from pieces that straddle reads, and at the end the
  // padded tail (one or two blocks).
  alignas(16) std::uint8_t carry[128];

  void start() {
    std::memcpy(state, lanes::kInitialState, sizeof(state));
    length = 0;
    pending = {};
    ready_blocks = 0;
    carry_size = 0;
    final = false;
  }

  void pad() {
    const std::size_t total = carry_size <= 55 ? 64 : 128;
    carry[carry_size] = 0x80;
    std::memset(carry + carry_size + 1, 0, total - carry_size - 1 - 8);
    const std::uint64_t bits = length * 8;
    for (std::size_t i = 0; i < 8; ++i)
      carry[total - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
    ready = carry;
    ready_blocks = total / 64;
    final = true;
  }

  Digest digest() const {
    Digest out;
    for (std::size_t i = 0; i < 8; ++i) {
      out[4 * i] = static_cast<std::uint8_t>(state[i] >> 24);
      out[4 * i + 1] = static_cast<std::uint8_t>(state[i] >> 16);
      out[4 * i + 2] = static_cast<std::uint8_t>(state[i] >> 8);
      out[4 * i + 3] = static_cast<std::uint8_t>(state[i]);
    }
    return out;
  }
};

// Gives the lane at least one block for the kernel, finishing and opening
// messages on the way; false when the source has nothing more for it.
bool prepare(Lane& lane, std::size_t index, MessageSource& source) {
  for (;;) {
    if (lane.ready_blocks != 0) return true;
    if (lane.final) {
      source.finish(index, lane.digest());
      if (!source.open(index)) return false;
      lane.start();
      continue;
    }
    if (lane.pending.empty()) {
      std::span<const std::uint8_t> bytes;
      if (!source.read(index, bytes)) {
        if (!source.open(index)) return false;
        lane.start();
        continue;
      }
      if (bytes.empty()) {
        lane.pad();
        continue;
      }
      lane.length += bytes.size();
      lane.pending = bytes;
    }
    if (lane.carry_size != 0 || lane.pending.size() < 64) {
      const std::size_t take = std::min(64 - lane.carry_size, lane.pending.size());
      std::memcpy(lane.carry + lane.carry_size, lane.pending.data(), take);
      lane.carry_size += take;
      lane.pending = lane.pending.subspan(take);
      if (lane.carry_size == 64) {
        // The block stays in `carry` until the kernel has taken it: nothing
        // is gathered again before ready_blocks drops back to 0.
        lane.ready = lane.carry;
        lane.ready_blocks = 1;
        lane.carry_size = 0;
      }
      continue;
    }
    // Whole blocks straight from the caller's bytes.
    lane.ready = lane.pending.data();
    lane.ready_blocks = lane.pending.size() / 64;
    lane.pending = lane.pending.subspan(lane.ready_blocks * 64);
  }
}

class InMemory final : public MessageSource {
 public:
  InMemory(std::span<const std::span<const std::uint8_t>> messages, Digest* out)
      : messages_(messages), out_(out) {}

  bool open(std::size_t lane) override {
    if (next_ == messages_.size()) return false;
    current_[lane] = next_++;
    given_[lane] = false;
    return true;
  }
  bool read(std::size_t lane, std::span<const std::uint8_t>& bytes) override {
    bytes = given_[lane] ? std::span<const std::uint8_t>() : messages_[current_[lane]];
    given_[lane] = true;
    return true;
  }
  void finish(std::size_t lane, const Digest& digest) override { out_[current_[lane]] = digest; }

 private:
  std::span<const std::span<const std::uint8_t>> messages_;
  Digest* out_;
  std::size_t next_ = 0;
  std::array<std::size_t, kMaxLanes> current_{};
  std::array<bool, kMaxLanes> given_{};
};

}  // namespace

LanePlan LanePlan::only(lanes::Kernel kernel, std::size_t lane_count) {
  if (!lanes::kernel_supported(kernel)) kernel = lanes::Kernel::kScalar;
  LanePlan plan;
  plan.lanes = std::clamp<std::size_t>(lane_count, 1, kMaxLanes);
  plan.kernel_for.fill(kernel);
  plan.worthwhile = kernel != lanes::Kernel::kScalar;
  return plan;
}

void hash_messages(MessageSource& source, const LanePlan& plan, std::size_t lane_count) {
  lane_count = std::clamp<std::size_t>(lane_count, 1, plan.lanes);
  Lane lanes[kMaxLanes];
  for (std::size_t l = 0; l < lane_count; ++l) {
    lanes[l].active = source.open(l);
    if (lanes[l].active) lanes[l].start();
  }
  for (;;) {
    std::uint32_t* states[kMaxLanes];
    const std::uint8_t* data[kMaxLanes];
    Lane* live[kMaxLanes];
    std::size_t count = 0;
    std::size_t blocks = std::numeric_limits<std::size_t>::max();
    for (std::size_t l = 0; l < lane_count; ++l) {
      Lane& lane = lanes[l];
      if (!lane.active) continue;
      if (!prepare(lane, l, source)) {
        lane.active = false;
        continue;
      }
      live[count] = &lane;
      states[count] = lane.state;
      data[count] = lane.ready;
      blocks = std::min(blocks, lane.ready_blocks);
      ++count;
    }
    if (count == 0) return;
    const lanes::Kernel kernel = plan.kernel_for[count];
    const lanes::CompressFn compress = lanes::compress_for(kernel);
    const std::size_t width = lanes::max_lanes(kernel);
    for (std::size_t first = 0; first < count; first += width) {
      compress(states + first, data + first, std::min(width, count - first), blocks);
    }
    for (std::size_t i = 0; i < count; ++i) {
      live[i]->ready += 64 * blocks;
      live[i]->ready_blocks -= blocks;
    }
  }
}

void sha256_messages(std::span<const std::span<const std::uint8_t>> messages, Digest* out,
                     const LanePlan& plan) {
  InMemory source(messages, out);
  hash_messages(source, plan, std::min(plan.lanes, std::max<std::size_t>(messages.size(), 1)));
}

double measure_lanes(lanes::Kernel kernel, std::size_t lane_count) {
  if (!lanes::kernel_supported(kernel)) kernel = lanes::Kernel::kScalar;
  lane_count = std::clamp<std::size_t>(lane_count, 1, lanes::max_lanes(kernel));
  constexpr std::size_t kBlocks = 16;
  constexpr int kRepeats = 16;
  constexpr int kRounds = 9;
  const lanes::CompressFn compress = lanes::compress_for(kernel);
  alignas(64) std::uint8_t buffer[kMaxLanes * kBlocks * 64];
  for (std::size_t i = 0; i < sizeof(buffer); ++i) buffer[i] = static_cast<std::uint8_t>(i * 131);
  lanes::State states[kMaxLanes];
  std::uint32_t* state_ptrs[kMaxLanes];
  const std::uint8_t* data[kMaxLanes];
  for (std::size_t l = 0; l < kMaxLanes; ++l) {
    std::memcpy(states[l], lanes::kInitialState, sizeof(states[l]));
    state_ptrs[l] = states[l];
    data[l] = buffer + l * kBlocks * 64;
  }
  double best_ns = std::numeric_limits<double>::max();
  for (int round = 0; round < kRounds; ++round) {
    const auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < kRepeats; ++r) compress(state_ptrs, data, lane_count, kBlocks);
    const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    best_ns = std::min(best_ns, took.count());
  }
  const double bytes = static_cast<double>(lane_count * kBlocks * 64 * kRepeats);
  return bytes / std::max(best_ns, 1.0);
}

namespace {

// Per-core speeds of the lane kernels in bytes per nanosecond, by live lane
// count (index 0 unused), as `npm run bench -- lanes` measured them (its
// bench/native/lane_speeds prints these rows). Only their ratios matter, so
// one machine's figures serve others of the same kind; a kernel without a
// row takes all its lanes.
struct LaneSpeeds {
  lanes::Kernel kernel;
  std::array<double, kMaxLanes + 1> speed;
};
constexpr LaneSpeeds kLaneSpeeds[] = {
    // x86-64 with SHA-NI and AVX-512, 2026-12-10.
    {lanes::Kernel::kShaNi, {0, 1.818, 3.423, 3.668, 3.822}},
    {lanes::Kernel::kAvx512,
     {0, 0.216, 0.432, 0.649, 0.864, 1.080, 1.297, 1.512, 1.728, 1.946, 2.162, 2.373, 2.589, 2.807,
      3.019, 3.237, 3.445}},
};

// A kernel's cost per block and lane of a step with `live` lanes, in
// nanoseconds per byte: lanes beyond its width take further calls, and a
// call costs the same however many of its lanes are live.
double cost(lanes::Kernel kernel, const std::array<double, kMaxLanes + 1>& speed,
            std::size_t live) {
  const std::size_t width = lanes::max_lanes(kernel);
  double ns = 0;
  for (std::size_t left = live; left > 0; left -= std::min(left, width)) {
    const std::size_t n = std::min(left, width);
    ns += static_cast<double>(n) / speed[n];
  }
  return ns / static_cast<double>(live);
}

// The plan for the kernels this processor runs, from the table: for each
// live lane count the cheapest kernel, and as many lanes as clearly pay.
LanePlan plan_from_table() {
  std::vector<const LaneSpeeds*> rows;
  lanes::Kernel unmeasured = lanes::Kernel::kScalar;
  for (lanes::Kernel k : lanes::compiled_kernels()) {
    if (k == lanes::Kernel::kScalar || !lanes::kernel_supported(k)) continue;
    bool measured = false;
    for (const LaneSpeeds& row : kLaneSpeeds) {
      if (row.kernel != k) continue;
      rows.push_back(&row);
      measured = true;
    }
    if (!measured) unmeasured = k;
  }
  if (rows.empty()) return LanePlan::only(unmeasured, lanes::max_lanes(unmeasured));
  LanePlan plan;
  plan.worthwhile = true;
  double best_overall = std::numeric_limits<double>::max();
  for (std::size_t live = 1; live <= kMaxLanes; ++live) {
    double best = std::numeric_limits<double>::max();
    for (const LaneSpeeds* row : rows) {
      const double c = cost(row->kernel, row->speed, live);
      if (c < best) {
        best = c;
        plan.kernel_for[live] = row->kernel;
      }
    }
    // More lanes in flight cost memory and, for files, open handles: only
    // worth it for a clear gain.
    if (best < best_overall * 0.97) {
      best_overall = best;
      plan.lanes = live;
    }
  }
  return plan;
}

// TOV_ENGINE_KERNEL may name one lane kernel (or "scalar": no lanes at all).
constexpr platform::KernelOption<lanes::Kernel> kForcible[] = {
    {"avx512", platform::runs_avx512, lanes::Kernel::kAvx512},
    {"shani", platform::runs_shani, lanes::Kernel::kShaNi},
    {"armsha2", platform::runs_armsha2, lanes::Kernel::kArmSha2},
    {"scalar", platform::runs_anywhere, lanes::Kernel::kScalar},
};

LanePlan choose_plan() {
  const std::string_view forced = platform::forced_kernel();
  for (const platform::KernelOption<lanes::Kernel>& option : kForcible) {
    if (option.name == forced && lanes::kernel_supported(option.entry)) {
      return LanePlan::only(option.entry, lanes::max_lanes(option.entry));
    }
  }
  return plan_from_table();
}

}  // namespace

const LanePlan& lane_plan() noexcept {
  static const LanePlan plan = choose_plan();
  return plan;
}

}  // namespace tov::hashing
