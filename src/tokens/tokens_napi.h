// The token functions as JavaScript sees them: the module's entry point puts
// these callbacks in its export table.
#pragma once

#include <node_api.h>

namespace tov::tokens {

napi_value count_tokens_napi(napi_env env, napi_callback_info info);
napi_value truncate_to_tokens_napi(napi_env env, napi_callback_info info);

}  // namespace tov::tokens
