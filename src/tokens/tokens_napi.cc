// JavaScript entry points of the token functions.
#include <node_api.h>

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "frame/args_napi.h"
#include "frame/call_napi.h"
#include "frame/results_napi.h"
#include "frame/string_share_napi.h"
#include "frame/text_windows_napi.h"
#include "text/utf8_windows.h"
#include "tokens/tokens.h"
#include "tokens/tokens_napi.h"

namespace tov::tokens {

using frame::Result;

namespace {

// Below this many units a copy is cheap: the engine allocates it among its
// small objects, whose pages are already in place.
constexpr std::size_t kSharedPrefixMin = 64 * 1024;

// Whether a cut-off result shares the argument's characters: a large prefix
// copied costs the engine a page fault per 4 KiB of fresh memory, more than
// the rest of the call. A shared prefix keeps the whole argument alive as
// long as it lives, so only one that holds at least a quarter of the
// argument shares; smaller ones are copied.
bool worth_sharing(std::size_t cut, std::size_t length) {
  return cut >= kSharedPrefixMin && cut >= length / 4;
}

// The first window of a cut: large enough to hold the budget's tokens in
// most texts (source code and prose take four to six characters a token,
// text in most other scripts less), so that an early cut reads little more
// than it keeps and a late one doubles its way there.
std::size_t first_window_for(std::uint32_t budget) {
  constexpr std::size_t kSmallest = 1024;
  const std::size_t guess = static_cast<std::size_t>(budget) * 6;
  return std::clamp(guess, kSmallest, frame::kLargestWindow);
}

// The kept prefix of `whole` as a new string: its first `units` units
// converted afresh, lone surrogates replaced as by the string conversion.
Result<napi_value> copied_prefix(napi_env env, napi_value whole, std::size_t units) {
  // One window: the kept part is needed whole anyway.
  frame::TextWindows prefix(env, whole, units, {units, units});
  text::Utf8Windows& windows = prefix.windows();
  windows.next();
  TOV_CHECK(prefix.status());
  return frame::make_string(env, windows.bytes());
}

}  // namespace

napi_value count_tokens_napi(napi_env env, napi_callback_info info) {
  return frame::call_with_args<1>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(length, frame::string_units(env, args[0]));
    frame::TextWindows text(env, args[0], length, frame::kWholeTextWindows);
    const std::uint32_t count = count_tokens(text.windows());
    TOV_CHECK(text.status());
    return frame::make_u32(env, count);
  });
}

napi_value truncate_to_tokens_napi(napi_env env, napi_callback_info info) {
  return frame::call_with_args<2>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(length, frame::string_units(env, args[0]));
    TOV_TRY(budget, frame::to_u32(env, args[1]));
    if (budget == 0) return frame::make_string(env, {});
    frame::TextWindows text(env, args[0], length,
                            {first_window_for(budget), frame::kLargestWindow});
    const WindowCut cut = truncate_cut(text.windows(), budget);
    TOV_CHECK(text.status());
    const text::Utf8Windows& read = text.windows();
    // The argument's own characters stand for the result only when the
    // conversion kept them exactly.
    if (!read.replaced()) {
      if (!cut.cut) return args[0];
      if (worth_sharing(cut.units, length)) {
        napi_value shared = frame::share_prefix(env, args[0], cut.units);
        if (shared != nullptr) return shared;
      }
      // In a first window of ASCII the kept bytes are the kept characters;
      // elsewhere copying units costs the host less than decoding UTF-8.
      if (read.begin() == 0 && read.ascii()) {
        return frame::make_ascii_string(env, read.bytes().substr(0, cut.bytes));
      }
      return frame::make_prefix_copy(env, args[0], cut.units);
    }
    // A lone surrogate became U+FFFD: the result is the converted text. A cut
    // in the first window has it at hand.
    if (read.begin() == 0) return frame::make_string(env, read.bytes().substr(0, cut.bytes));
    return copied_prefix(env, args[0], cut.units);
  });
}

}  // namespace tov::tokens
