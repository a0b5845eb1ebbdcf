// Internal: SHA-256 block compression over several independent messages at
// once. One SHA-256 chain cannot go faster than the latency of its rounds,
// because every block depends on the one before; the rounds of separate
// messages do not depend on each other, so interleaving them keeps the
// processor's hash units busy. Exposed so that tests can run every kernel the
// machine supports, not only the one the dispatcher picks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tov::hashing::lanes {

// The most lanes any kernel interleaves.
inline constexpr std::size_t kMaxLanes = 16;

// The eight working words of one message, FIPS 180-4 order (H0..H7).
using State = std::uint32_t[8];

enum class Kernel : std::uint8_t {
  kScalar,   // portable C++, the reference
  kShaNi,    // x86-64 SHA extensions (SHA-NI) with SSE4.1
  kArmSha2,  // ARMv8 cryptographic extension (SHA-256 instructions)
  kAvx512,   // x86-64 AVX-512F/BW, sixteen lanes in vector registers
};

// Compresses `blocks` consecutive 64-byte blocks into each of `lanes` states:
// states[i] takes data[i][0 .. 64 * blocks); every
// lane takes the same number of blocks. States and data may not overlap.
// 1 <= lanes <= max_lanes(kernel).
using CompressFn = void (*)(std::uint32_t* const* states, const std::uint8_t* const* data,
                            std::size_t lanes, std::size_t blocks) noexcept;

void compress_scalar(std::uint32_t* const* states, const std::uint8_t* const* data,
                     std::size_t lanes, std::size_t blocks) noexcept;

#if defined(__x86_64__) || defined(_M_X64)
#define TOV_LANES_SHANI 1
void compress_shani(std::uint32_t* const* states, const std::uint8_t* const* data,
                    std::size_t lanes, std::size_t blocks) noexcept;
#define TOV_LANES_AVX512 1
void compress_avx512(std::uint32_t* const* states, const std::uint8_t* const* data,
                     std::size_t lanes, std::size_t blocks) noexcept;
#endif

#if defined(__aarch64__) || defined(_M_ARM64)
#define TOV_LANES_ARM_SHA2 1
void compress_arm_sha2(std::uint32_t* const* states, const std::uint8_t* const* data,
                       std::size_t lanes, std::size_t blocks) noexcept;
#endif

// Every kernel compiled into this build, the reference first.
std::span<const Kernel> compiled_kernels() noexcept;
const char* kernel_name(Kernel kernel) noexcept;
// True when the kernel is compiled in and the running processor has it.
bool kernel_supported(Kernel kernel) noexcept;
// The kernel's entry point; an unsupported kernel gives the reference.
CompressFn compress_for(Kernel kernel) noexcept;
// How many lanes the kernel takes at most.
std::size_t max_lanes(Kernel kernel) noexcept;

// The SHA-256 round constants and initial state.
extern const std::uint32_t kRoundConstants[64];
extern const std::uint32_t kInitialState[8];

}  // namespace tov::hashing::lanes
