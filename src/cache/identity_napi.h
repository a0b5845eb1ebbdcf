// The JavaScript entry point of the file identity queries (extension table):
// a promise of the records of a list of paths joined by NULs.
#pragma once

#include <node_api.h>

namespace tov::cache {

napi_value stat_files(napi_env env, napi_callback_info info);

}  // namespace tov::cache
