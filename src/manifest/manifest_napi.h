// The manifest functions as JavaScript sees them: the module's entry point
// puts these callbacks in its export table.
#pragma once

#include <node_api.h>

namespace tov::manifest {

napi_value merkle_root_napi(napi_env env, napi_callback_info info);
napi_value merkle_diff_napi(napi_env env, napi_callback_info info);

}  // namespace tov::manifest
