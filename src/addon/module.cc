// Module entry point: defines the exports of every environment that loads
// the addon and ties the process-wide machinery to environment lifetimes.
#include <node_api.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "addon/extensions.h"
#include "base/texts.h"
#include "frame/call_napi.h"
#include "frame/error_napi.h"
#include "frame/gc_napi.h"
#include "frame/host_functions_napi.h"
#include "frame/results_napi.h"
#include "frame/string_share_napi.h"
#include "hashing/hashing_napi.h"
#include "manifest/manifest_napi.h"
#include "platform/cpu.h"
#include "platform/module_pin.h"
#include "runtime/runtime_slot.h"
#include "tokens/tokens_napi.h"

namespace tov::addon {

namespace {

napi_value native_version(napi_env env, napi_callback_info info) {
  return frame::call_with_args<0>(env, info, [](napi_env env, auto&) {
    return frame::make_string(env, base::texts::kVersion);
  });
}

struct ExportDescriptor {
  const char* js_name;        // what JavaScript sees
  const char* internal_name;  // what messages quote
  napi_callback callback;
};

// The export table. Its order is the order in which the properties appear
// on every exports object; it lives here alone so nothing else can change it.
constexpr ExportDescriptor kExportTable[] = {
    {"sha256", "sha256", hashing::sha256_napi},
    {"fileHash", "file_hash", hashing::file_hash_napi},
    {"merkleDiff", "merkle_diff", manifest::merkle_diff_napi},
    {"merkleRoot", "merkle_root", manifest::merkle_root_napi},
    {"countTokens", "count_tokens", tokens::count_tokens_napi},
    {"sha256String", "sha256_string", hashing::sha256_string_napi},
    {"nativeVersion", "native_version", native_version},
    {"batchFileHash", "batch_file_hash", hashing::batch_file_hash_napi},
    {"truncateToTokens", "truncate_to_tokens", tokens::truncate_to_tokens_napi},
};

std::mutex export_table_lock;  // serialises the export loops of concurrent registrations
std::atomic<bool> first_load{true};
std::atomic<bool> registration_done{false};
std::atomic<std::uint64_t> hook_counter{0};

frame::Result<napi_value> register_function(napi_env env, const ExportDescriptor& entry) {
  napi_value function = nullptr;
  const napi_status status = napi_create_function(env, entry.js_name, std::strlen(entry.js_name),
                                                  entry.callback, nullptr, &function);
  if (status != napi_ok) {
    return frame::ErrorRecord(
        status, std::string(base::texts::kRegisterFunctionFailed) + entry.internal_name + "`");
  }
  return function;
}

void define_exports(napi_env env, napi_value exports) {
  std::lock_guard lock(export_table_lock);
  for (const ExportDescriptor& entry : kExportTable) {
    frame::Result<napi_value> function = register_function(env, entry);
    if (!function) {
      frame::throw_record(env, function.take_error());
      continue;
    }
    const napi_status status = napi_set_named_property(env, exports, entry.js_name, *function);
    if (status != napi_ok) {
      frame::throw_record(
          env, frame::ErrorRecord(
                   status, std::string(base::texts::kRegisterExportFailed) + entry.js_name + "`"));
    }
  }
}

void release_runtime_hook(void*) {
  runtime::release_runtime();
}

napi_value register_module(napi_env env, napi_value exports) {
  // Binding again here picks up what the host offers by now (a host may
  // export its functions only once it is fully loaded).
  frame::bind_host_functions();
  // Threads that ran this code keep per-thread destructors pointing into it
  // (libcrypto's, once a digest was taken there), which run when the thread
  // ends. Node unloads an addon when the last environment that loaded it
  // ends, before a worker's thread does: the module stays mapped for good.
  platform::pin_loaded_module();
  // A second registration asking for the extension table gets that alone;
  // the environment's own registration has already set everything up.
  if (registration_done.load() && wants_extensions(env)) return register_extensions(env, exports);
  // Exactly one registration runs first; the others wait until it is done,
  // so that the process-wide services exist before any second environment.
  if (!first_load.exchange(false)) {
    while (!registration_done.load()) platform::cpu_pause();
  }
  define_exports(env, exports);
  frame::capture_string_slice(env);
  runtime::acquire_runtime();
  const std::uint64_t hook = hook_counter.fetch_add(1);
  napi_add_env_cleanup_hook(env, release_runtime_hook, reinterpret_cast<void*>(hook));
  if (!registration_done.load()) frame::create_custom_gc(env);
  frame::mark_env_thread(env);
  registration_done.store(true);
  return exports;
}

}  // namespace

}  // namespace tov::addon

extern "C" NAPI_MODULE_EXPORT napi_value napi_register_module_v1(napi_env env, napi_value exports) {
  return tov::frame::guard_host_call([&] { return tov::addon::register_module(env, exports); });
}
