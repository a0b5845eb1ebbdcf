// Native callbacks of the exported JavaScript functions.
#pragma once

#include <node_api.h>

namespace tov::addon {

napi_value sha256(napi_env env, napi_callback_info info);
napi_value file_hash(napi_env env, napi_callback_info info);
napi_value merkle_diff(napi_env env, napi_callback_info info);
napi_value merkle_root(napi_env env, napi_callback_info info);
napi_value count_tokens(napi_env env, napi_callback_info info);
napi_value sha256_string(napi_env env, napi_callback_info info);
napi_value native_version(napi_env env, napi_callback_info info);
napi_value batch_file_hash(napi_env env, napi_callback_info info);
napi_value truncate_to_tokens(napi_env env, napi_callback_info info);

}  // namespace tov::addon
