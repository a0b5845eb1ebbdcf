#include "tokens/tokens.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/kernels.h"
#include "text/utf8.h"
#include "text/utf8_windows.h"
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

#if defined(TOV_TOKENS_X86_64)
// The vector kernels count bits of their masks too.
bool runs_avx2_popcnt(const platform::CpuFeatures& cpu) noexcept {
  return platform::runs_avx2(cpu) && cpu.popcnt;
}
bool runs_avx512_popcnt(const platform::CpuFeatures& cpu) noexcept {
  return platform::runs_avx512(cpu) && cpu.popcnt;
}
#endif

// Every kernel of this build, best first.
constexpr platform::KernelOption<Kernel> kChoices[] = {
#if defined(TOV_TOKENS_X86_64)
    {"avx512", runs_avx512_popcnt, Kernel::kAvx512bw},
    {"avx2", runs_avx2_popcnt, Kernel::kAvx2},
    {"sse2", platform::runs_sse2, Kernel::kSse2},
#endif
#if defined(TOV_TOKENS_NEON)
    {"neon", platform::runs_neon, Kernel::kNeon},
#endif
    {"scalar", platform::runs_anywhere, Kernel::kPortable},
};

bool cpu_has(Kernel kernel) {
  for (const platform::KernelOption<Kernel>& choice : kChoices) {
    if (choice.entry == kernel) return choice.runs(platform::cpu_features());
  }
  return false;
}

struct Active {
  Kernel kernel;
  Entry entry;
};

const Active& active() noexcept {
  static const Active chosen = [] {
    const Kernel kernel = platform::choose_kernel(kChoices).entry;
    return Active{kernel, entry_for(kernel)};
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

namespace {

Entry usable_entry(Kernel kernel) {
  return entry_for(kernel_supported(kernel) ? kernel : Kernel::kPortable);
}

}  // namespace

std::uint32_t count_with(Kernel kernel, std::string_view text, bool previous_word) noexcept {
  return usable_entry(kernel).count(bytes_of(text), text.size(), previous_word);
}

std::size_t walk_cut_with(Kernel kernel, std::string_view text, std::uint32_t budget) noexcept {
  if (budget == 0) return 0;
  WalkState state{budget, false};
  return usable_entry(kernel).walk(bytes_of(text), text.size(), state);
}

std::size_t walk_with(Kernel kernel, std::string_view text, WalkState& state) noexcept {
  return usable_entry(kernel).walk(bytes_of(text), text.size(), state);
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
  return kernels::active().entry.count(bytes_of(text), text.size(), false);
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
  kernels::WalkState state{budget, false};
  return kernels::active().entry.walk(bytes_of(text), text.size(), state);
}

void TokenCount::add(std::string_view piece) noexcept {
  if (piece.empty()) return;
  count_ += kernels::active().entry.count(bytes_of(piece), piece.size(), previous_word_);
  previous_word_ = blocks::is_word_byte(bytes_of(piece)[piece.size() - 1]);
}

std::size_t TokenWalk::add(std::string_view piece) noexcept {
  if (budget_zero_) return 0;
  kernels::WalkState state{left_, previous_word_};
  const std::size_t stop = kernels::active().entry.walk(bytes_of(piece), piece.size(), state);
  if (stop != piece.size()) return stop;
  left_ = state.left;
  previous_word_ = state.previous_word;
  return npos;
}

std::size_t truncate_cut(std::string_view text, std::uint32_t budget) noexcept {
  return text::utf8_boundary_before(text, walk_cut(text, budget));
}

std::size_t truncate_cut_scalar(std::string_view text, std::uint32_t budget) noexcept {
  return text::utf8_boundary_before(text, walk_cut_scalar(text, budget));
}

std::uint32_t count_tokens(text::Utf8Windows& windows) {
  TokenCount count;
  while (windows.next()) count.add(windows.bytes());
  return count.total();
}

WindowCut truncate_cut(text::Utf8Windows& windows, std::uint32_t budget) {
  TokenWalk walk(budget);
  while (windows.next()) {
    const std::size_t stop = walk.add(windows.bytes());
    if (stop == TokenWalk::npos) continue;
    // Windows hold whole characters, so the boundary is inside this one.
    const std::size_t cut = text::utf8_boundary_before(windows.bytes(), stop);
    return {true, windows.unit_at(cut), cut};
  }
  return {false, windows.end(), windows.bytes().size()};
}

}  // namespace tov::tokens
