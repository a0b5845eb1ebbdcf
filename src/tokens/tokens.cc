#include "tokens/tokens.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/cpu.h"
#include "text/utf8.h"
#include "tokens/tokens_blocks.h"
#include "tokens/tokens_kernels.h"

namespace tov::tokens {
namespace {

const unsigned char* bytes_of(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

}  // namespace

namespace kernels {
namespace {

constexpr std::array kCompiled = {
    Kernel::kPortable,
#if defined(TOV_TOKENS_X86_64)
    Kernel::kSse2,     Kernel::kAvx2, Kernel::kAvx512bw,
#endif
#if defined(TOV_TOKENS_NEON)
    Kernel::kNeon,
#endif
};

struct Entry {
  CountFn count;
  WalkFn walk;
};

Entry entry_for(Kernel kernel) {
  switch (kernel) {
#if defined(TOV_TOKENS_X86_64)
    case Kernel::kSse2:
      return {count_sse2, walk_sse2};
    case Kernel::kAvx2:
      return {count_avx2, walk_avx2};
    case Kernel::kAvx512bw:
      return {count_avx512bw, walk_avx512bw};
#endif
#if defined(TOV_TOKENS_NEON)
    case Kernel::kNeon:
      return {count_neon, walk_neon};
#endif
    default:
      return {count_portable, walk_portable};
  }
}

bool cpu_has(Kernel kernel) {
  const platform::CpuFeatures& cpu = platform::cpu_features();
  switch (kernel) {
    case Kernel::kPortable:
      return true;
    case Kernel::kSse2:
      return cpu.sse2;
    case Kernel::kAvx2:
      return cpu.avx2 && cpu.popcnt;
    case Kernel::kAvx512bw:
      return cpu.avx512f && cpu.avx512bw && cpu.popcnt;
    case Kernel::kNeon:
      return cpu.neon;
  }
  return false;
}

struct Active {
  Kernel kernel;
  Entry entry;
};

const Active& active() noexcept {
  static const Active chosen = [] {
    Kernel best = Kernel::kPortable;
    for (Kernel k : kCompiled) {
      if (kernel_supported(k)) best = k;
    }
    return Active{best, entry_for(best)};
  }();
  return chosen;
}

}  // namespace

std::span<const Kernel> compiled_kernels() noexcept {
  return kCompiled;
}

const char* kernel_name(Kernel kernel) noexcept {
  switch (kernel) {
    case Kernel::kPortable:
      return "portable";
    case Kernel::kSse2:
      return "sse2";
    case Kernel::kAvx2:
      return "avx2";
    case Kernel::kAvx512bw:
      return "avx512bw";
    case Kernel::kNeon:
      return "neon";
  }
  return "unknown";
}

bool kernel_supported(Kernel kernel) noexcept {
  for (Kernel k : kCompiled) {
    if (k == kernel) return cpu_has(kernel);
  }
  return false;
}

Kernel active_kernel() noexcept {
  return active().kernel;
}

std::uint32_t count_with(Kernel kernel, std::string_view text) noexcept {
  const Entry e = entry_for(kernel_supported(kernel) ? kernel : Kernel::kPortable);
  return e.count(bytes_of(text), text.size());
}

std::size_t walk_cut_with(Kernel kernel, std::string_view text, std::uint32_t budget) noexcept {
  if (budget == 0) return 0;
  const Entry e = entry_for(kernel_supported(kernel) ? kernel : Kernel::kPortable);
  return e.walk(bytes_of(text), text.size(), budget);
}

}  // namespace kernels

std::uint32_t count_tokens_scalar(std::string_view text) noexcept {
  std::uint32_t count = 0;
  bool previous_word = false;
  for (const unsigned char b : text) {
    const bool word = blocks::is_word_byte(b);
    if (word ? !previous_word : !blocks::is_blank_byte(b)) ++count;
    previous_word = word;
  }
  return count;
}

std::uint32_t count_tokens(std::string_view text) noexcept {
  return kernels::active().entry.count(bytes_of(text), text.size());
}

std::size_t walk_cut_scalar(std::string_view text, std::uint32_t budget) noexcept {
  if (budget == 0) return 0;
  // count never exceeds budget, so "count + 1 > budget" is "count >= budget"
  // without the chance of wrapping at the top of the range.
  std::uint32_t count = 0;
  bool previous_word = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    const bool word = blocks::is_word_byte(b);
    if (word ? !previous_word : !blocks::is_blank_byte(b)) {
      if (count >= budget) return i;
      ++count;
    }
    previous_word = word;
  }
  return text.size();
}

std::size_t walk_cut(std::string_view text, std::uint32_t budget) noexcept {
  if (budget == 0) return 0;
  return kernels::active().entry.walk(bytes_of(text), text.size(), budget);
}

std::size_t truncate_cut(std::string_view text, std::uint32_t budget) noexcept {
  return text::utf8_boundary_before(text, walk_cut(text, budget));
}

std::size_t truncate_cut_scalar(std::string_view text, std::uint32_t budget) noexcept {
  return text::utf8_boundary_before(text, walk_cut_scalar(text, budget));
}

}  // namespace tov::tokens
