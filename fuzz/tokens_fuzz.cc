// libFuzzer target for the token estimate and budget truncation. Build:
//   clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -Isrc \
//     fuzz/tokens_fuzz.cc $(ls src/tokens/*.cc | grep -v _napi) src/text/utf8*.cc \
//     src/platform/cpu.cc -o tokens_fuzz
// The first two input bytes choose the budget (little-endian; budgets past
// the text's estimate are covered by the "+ total" arm), the rest is the text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "tokens/tokens.h"
#include "tokens/tokens_kernels.h"

namespace {

using namespace tov::tokens;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "tokens_fuzz: %s\n", what);
    std::abort();
  }
}

bool is_valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto lead = static_cast<unsigned char>(s[i]);
    std::size_t len = 0;
    if (lead < 0x80) {
      len = 1;
    } else if ((lead & 0xE0) == 0xC0) {
      len = 2;
    } else if ((lead & 0xF0) == 0xE0) {
      len = 3;
    } else if ((lead & 0xF8) == 0xF0) {
      len = 4;
    }
    if (len == 0 || i + len > s.size()) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

void check_budget(std::string_view text, std::uint32_t total, std::uint32_t budget) {
  const std::size_t walk = walk_cut_scalar(text, budget);
  check(walk_cut(text, budget) == walk, "walk_cut differs from the scalar walk");
  for (kernels::Kernel k : kernels::compiled_kernels()) {
    if (kernels::kernel_supported(k)) {
      check(kernels::walk_cut_with(k, text, budget) == walk, kernels::kernel_name(k));
    }
  }

  const std::size_t cut = truncate_cut(text, budget);
  check(cut == truncate_cut_scalar(text, budget), "truncate_cut differs from scalar");
  check(cut <= walk && walk <= text.size(), "cut out of range");
  const std::string_view kept = text.substr(0, cut);
  const std::uint32_t kept_tokens = count_tokens_scalar(kept);
  check(kept_tokens <= budget, "kept prefix exceeds the budget");
  if (budget == 0) check(cut == 0, "budget 0 keeps bytes");
  if (budget > 0 && budget >= total) check(cut == text.size(), "text within budget was cut");
  if (budget > 0 && budget < total && cut == walk) {
    check(kept_tokens == budget, "cut on a boundary below the budget");
    check(count_tokens_scalar(text.substr(0, cut + 1)) > budget, "cut before a fitting token");
  }
  if (is_valid_utf8(text)) check(is_valid_utf8(kept), "kept prefix is not valid UTF-8");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint32_t budget = 0;
  if (size >= 2) {
    budget = static_cast<std::uint32_t>(data[0] | (data[1] << 8));
    data += 2;
    size -= 2;
  }
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const std::uint32_t total = count_tokens_scalar(text);
  check(count_tokens(text) == total, "count_tokens differs from scalar");
  for (kernels::Kernel k : kernels::compiled_kernels()) {
    if (kernels::kernel_supported(k)) {
      check(kernels::count_with(k, text) == total, kernels::kernel_name(k));
    }
  }

  check_budget(text, total, budget);
  check_budget(text, total, budget % (total + 1));
  check_budget(text, total, total + budget);
  return 0;
}
