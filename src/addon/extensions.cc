#include "addon/extensions.h"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/texts.h"
#include "cache/identity_napi.h"
#include "frame/call_napi.h"
#include "frame/error_napi.h"
#include "frame/results_napi.h"
#include "hasher/hasher_napi.h"
#include "platform/kernels.h"
#include "tree/tree_napi.h"

namespace tov::addon {

namespace {

struct ExtensionDescriptor {
  const char* js_name;
  napi_callback callback;
};

napi_value extension_abi(napi_env env, napi_callback_info) {
  napi_value version = nullptr;
  napi_create_uint32(env, 1, &version);
  return version;
}

// The names TOV_ENGINE_KERNEL takes on this processor: what a test run per
// kernel iterates over.
napi_value extension_kernels(napi_env env, napi_callback_info info) {
  return frame::call_with_args<0>(env, info, [](napi_env env, auto&) {
    const std::vector<std::string_view> names = platform::runnable_kernels();
    return frame::make_string_array(env, names);
  });
}

// Each feature adds its own entries here. `abi` lets the JavaScript side
// tell a binary that predates a function from a broken one.
constexpr ExtensionDescriptor kExtensionTable[] = {
    {"abi", extension_abi},
    {"kernels", extension_kernels},
    {"hashFiles", tree::hash_files},
    {"walkTree", tree::walk_tree},
    {"checkFiles", tree::check_files},
    {"rootOfJoined", tree::root_of_joined},
    {"splitChecksums", tree::split_checksums},
    {"walkProgress", tree::walk_progress},
    {"walkCancel", tree::walk_cancel},
    {"canWalk", tree::can_walk},
    {"sha256Blocks", hasher::blocks_napi},
    {"sha256Finish", hasher::finish_napi},
    {"sha256Save", hasher::save_napi},
    {"sha256Restore", hasher::restore_napi},
    {"sha256StreamOpen", hasher::stream_open_napi},
    {"sha256StreamPush", hasher::stream_push_napi},
    {"sha256StreamWait", hasher::stream_wait_napi},
    {"sha256StreamFinish", hasher::stream_finish_napi},
    {"statFiles", cache::stat_files},
};

}  // namespace

bool wants_extensions(napi_env env) {
  napi_value global = nullptr;
  napi_value key = nullptr;
  bool has = false;
  return napi_get_global(env, &global) == napi_ok &&
         napi_create_string_utf8(env, kExtensionMark, NAPI_AUTO_LENGTH, &key) == napi_ok &&
         napi_has_own_property(env, global, key, &has) == napi_ok && has;
}

napi_value register_extensions(napi_env env, napi_value exports) {
  for (const ExtensionDescriptor& entry : kExtensionTable) {
    napi_value function = nullptr;
    napi_status status = napi_create_function(env, entry.js_name, std::strlen(entry.js_name),
                                              entry.callback, nullptr, &function);
    if (status == napi_ok) status = napi_set_named_property(env, exports, entry.js_name, function);
    if (status != napi_ok) {
      frame::throw_record(
          env, frame::ErrorRecord(status, std::string(base::texts::kRegisterFunctionFailed) +
                                              entry.js_name + "`"));
      return nullptr;
    }
  }
  return exports;
}

}  // namespace tov::addon
