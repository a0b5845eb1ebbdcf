// The tree module's entry points in the extension table.
#pragma once

#include <node_api.h>

namespace tov::tree {

// hashFiles(paths, leaveOut?) -> Promise<{ outcomes, bytes }>. `paths` holds
// strings (well-formed text) or Buffers (a name's bytes); `leaveOut` holds
// [device, inode] pairs as numbers or bigints. Each outcome is the file's
// hex digest, { reason } when it was not hashed, or null when its identity
// is one to leave out. The hashing runs off the JavaScript thread.
napi_value hash_files(napi_env env, napi_callback_info info);

}  // namespace tov::tree
