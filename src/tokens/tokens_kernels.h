// Internal: the block kernels behind count_tokens and walk_cut. Exposed so
// that tests can run every kernel the machine supports, not only the one the
// dispatcher picks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace tov::tokens::kernels {

enum class Kernel : std::uint8_t {
  kPortable,  // table lookups, any CPU
  kSse2,      // x86-64 baseline
  kAvx2,      // x86-64 with AVX2 and POPCNT
  kAvx512bw,  // x86-64 with AVX-512F/BW and POPCNT
  kNeon,      // arm64
};

// Every kernel compiled into this build, in order of preference (last best).
std::span<const Kernel> compiled_kernels() noexcept;

const char* kernel_name(Kernel kernel) noexcept;

// True when the kernel is compiled in and the running CPU and OS support it.
bool kernel_supported(Kernel kernel) noexcept;

// The kernel count_tokens and walk_cut use; chosen once per process.
Kernel active_kernel() noexcept;

// Where a budget walk stands between two pieces of a text.
struct WalkState {
  std::uint64_t left;  // tokens the budget still allows
  bool previous_word;  // the byte before the piece is a word byte
};

// Run one specific kernel. An unsupported kernel falls back to kPortable
// rather than executing instructions the CPU lacks. `previous_word` says
// that the text continues one whose last byte is a word byte.
std::uint32_t count_with(Kernel kernel, std::string_view text, bool previous_word = false) noexcept;
std::size_t walk_cut_with(Kernel kernel, std::string_view text, std::uint32_t budget) noexcept;
std::size_t walk_with(Kernel kernel, std::string_view text, WalkState& state) noexcept;

// The per-kernel entry points. A walk returns the position of the token
// that the budget has no room for, or `size` after updating `state` to
// where the walk stands at the end of the piece.
using CountFn = std::uint32_t (*)(const unsigned char* data, std::size_t size,
                                  bool previous_word) noexcept;
using WalkFn = std::size_t (*)(const unsigned char* data, std::size_t size,
                               WalkState& state) noexcept;

std::uint32_t count_portable(const unsigned char* data, std::size_t size,
                             bool previous_word) noexcept;
std::size_t walk_portable(const unsigned char* data, std::size_t size, WalkState& state) noexcept;

#if defined(__x86_64__)
#define TOV_TOKENS_X86_64 1
std::uint32_t count_sse2(const unsigned char* data, std::size_t size, bool previous_word) noexcept;
std::size_t walk_sse2(const unsigned char* data, std::size_t size, WalkState& state) noexcept;
std::uint32_t count_avx2(const unsigned char* data, std::size_t size, bool previous_word) noexcept;
std::size_t walk_avx2(const unsigned char* data, std::size_t size, WalkState& state) noexcept;
std::uint32_t count_avx512bw(const unsigned char* data, std::size_t size,
                             bool previous_word) noexcept;
std::size_t walk_avx512bw(const unsigned char* data, std::size_t size, WalkState& state) noexcept;
#endif

#if defined(__aarch64__) && defined(__ARM_NEON)
#define TOV_TOKENS_NEON 1
std::uint32_t count_neon(const unsigned char* data, std::size_t size, bool previous_word) noexcept;
std::size_t walk_neon(const unsigned char* data, std::size_t size, WalkState& state) noexcept;
#endif

}  // namespace tov::tokens::kernels
