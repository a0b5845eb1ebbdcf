// JavaScript entry points of the token functions.
#include <node_api.h>

#include <cstring>
#include <string_view>

#include "frame/call_napi.h"
#include "frame/convert_napi.h"
#include "frame/runtime_slot.h"
#include "lib/exports.h"
#include "tokens/tokens.h"

namespace tov {

using frame::Result;

namespace {

// The string conversion replaces unpaired surrogates with U+FFFD (EF BF BD).
// Without that sequence the converted text is the argument exactly, and the
// argument itself can be handed back instead of building an equal string.
bool may_differ_from_argument(std::string_view text) {
  const char* at = text.data();
  const char* end = at + text.size();
  while ((at = static_cast<const char*>(std::memchr(at, '\xEF', end - at))) != nullptr) {
    if (end - at >= 3 && at[1] == '\xBF' && at[2] == '\xBD') return true;
    ++at;
  }
  return false;
}

}  // namespace

napi_value exports::count_tokens(napi_env env, napi_callback_info info) {
  return frame::call_with_args<1>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(text, frame::to_text(env, args[0]));
    frame::RuntimeContext context;
    return frame::make_u32(env, tokens::count_tokens(text.view()));
  });
}

napi_value exports::truncate_to_tokens(napi_env env, napi_callback_info info) {
  return frame::call_with_args<2>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(text, frame::to_text(env, args[0]));
    TOV_TRY(budget, frame::to_u32(env, args[1]));
    frame::RuntimeContext context;
    const std::size_t cut = tokens::truncate_cut(text.view(), budget);
    if (cut == text.size() && !may_differ_from_argument(text.view())) return args[0];
    return frame::make_string(env, text.view().substr(0, cut));
  });
}

}  // namespace tov
