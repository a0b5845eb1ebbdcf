// The digest functions as JavaScript sees them: the module's entry point puts
// these callbacks in its export table.
#pragma once

#include <node_api.h>

namespace tov::hashing {

napi_value sha256_napi(napi_env env, napi_callback_info info);
napi_value sha256_string_napi(napi_env env, napi_callback_info info);
napi_value file_hash_napi(napi_env env, napi_callback_info info);
napi_value batch_file_hash_napi(napi_env env, napi_callback_info info);

}  // namespace tov::hashing
