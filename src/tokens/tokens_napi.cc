// JavaScript entry points of the token functions.
#include <node_api.h>

#include <string_view>

#include "addon/exports.h"
#include "frame/call_napi.h"
#include "frame/convert_napi.h"
#include "frame/string_share_napi.h"
#include "runtime/runtime_slot.h"
#include "text/utf8.h"
#include "tokens/tokens.h"

namespace tov {

using frame::Result;

namespace {

// Below this many bytes a copy is cheap: the engine allocates it among its
// small objects, whose pages are already in place.
constexpr std::size_t kSharedPrefixMin = 64 * 1024;

// Whether a cut-off result shares the argument's characters: a large prefix
// copied costs the engine a page fault per 4 KiB of fresh memory, more than
// the rest of the call. A shared prefix keeps the whole argument alive as
// long as it lives, so only one that holds at least a quarter of the
// argument shares; smaller ones are copied.
bool worth_sharing(std::size_t cut, std::size_t size) {
  return cut >= kSharedPrefixMin && cut >= size / 4;
}

}  // namespace

napi_value addon::count_tokens(napi_env env, napi_callback_info info) {
  return frame::call_with_args<1>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(text, frame::to_text(env, args[0]));
    runtime::RuntimeContext context;
    return frame::make_u32(env, tokens::count_tokens(text.view()));
  });
}

napi_value addon::truncate_to_tokens(napi_env env, napi_callback_info info) {
  return frame::call_with_args<2>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(text, frame::to_text(env, args[0]));
    TOV_TRY(budget, frame::to_u32(env, args[1]));
    runtime::RuntimeContext context;
    const std::size_t cut = tokens::truncate_cut(text.view(), budget);
    const std::string_view kept = text.view().substr(0, cut);
    const bool whole = cut == text.size();
    // The argument itself stands for the result only when the conversion
    // kept its characters exactly.
    if (!text.replaced() && (whole || worth_sharing(cut, text.size()))) {
      if (whole) return args[0];
      napi_value shared = frame::share_prefix(env, args[0], text::utf16_length(kept));
      if (shared != nullptr) return shared;
    }
    return frame::make_string(env, kept);
  });
}

}  // namespace tov
