#include "frame/gc_napi.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <unordered_map>

#include "frame/error_napi.h"
#include "platform/shared_mutex.h"

namespace tov::frame {

namespace texts = base::texts;

namespace {

platform::SharedMutex env_access_lock;
std::unordered_map<std::thread::id, bool> env_access;  // guarded by env_access_lock

std::atomic<napi_threadsafe_function> custom_gc{nullptr};
std::atomic<bool> custom_gc_closed{false};

void throw_on_failure(napi_env env, napi_status status, base::FixedText message) {
  if (status != napi_ok) throw_record(env, ErrorRecord(status, message));
}

void clear_thread_mark(void* arg) {
  std::unique_ptr<std::thread::id> thread(static_cast<std::thread::id*>(arg));
  std::unique_lock lock(env_access_lock);
  env_access[*thread] = false;
}

napi_value custom_gc_callback(napi_env, napi_callback_info) { return nullptr; }

void custom_gc_finalized(napi_env, void*, void*) { custom_gc_closed.store(true); }

// Runs on the JavaScript thread that created the custom GC, once per posted
// reference.
void custom_gc_release(napi_env env, napi_value, void*, void* data) {
  auto ref = static_cast<napi_ref>(data);
  {
    std::shared_lock lock(env_access_lock);
    const auto found = env_access.find(std::this_thread::get_id());
    if (found != env_access.end() && !found->second) return;
  }
  if (ref == nullptr || env == nullptr) return;
  std::uint32_t count = 0;
  throw_on_failure(env, napi_reference_unref(env, ref, &count),
                   texts::kUnrefBufferReferenceFailed);
  throw_on_failure(env, napi_delete_reference(env, ref),
                   texts::kDeleteBufferReferenceFailed);
}

}  // namespace

void mark_env_thread(napi_env env) {
  {
    std::unique_lock lock(env_access_lock);
    env_access[std::this_thread::get_id()] = true;
  }
  auto thread = std::make_unique<std::thread::id>(std::this_thread::get_id());
  const napi_status status = napi_add_env_cleanup_hook(env, clear_thread_mark, thread.get());
  if (status != napi_ok) {
    throw_record(env, ErrorRecord(status, texts::kAddThreadCleanupHookFailed));
    return;
  }
  thread.release();  // the hook owns it now
}

void create_custom_gc(napi_env env) {
  napi_value function = nullptr;
  napi_status status =
      napi_create_function(env, "custom_gc", 9, custom_gc_callback, nullptr, &function);
  if (status != napi_ok) {
    throw_record(env, ErrorRecord(status, texts::kCreateCustomGcFunctionFailed));
    return;
  }
  napi_value name = nullptr;
  status = napi_create_string_utf8(env, "CustomGC", 8, &name);
  if (status != napi_ok) {
    throw_record(env, ErrorRecord(status, texts::kCreateCustomGcNameFailed));
    return;
  }
  napi_threadsafe_function tsfn = nullptr;
  status = napi_create_threadsafe_function(env, function, nullptr, name, 0, 1, nullptr,
                                           custom_gc_finalized, nullptr, custom_gc_release, &tsfn);
  if (status != napi_ok) {
    throw_record(env, ErrorRecord(status, texts::kCreateCustomGcFailed));
    return;
  }
  status = napi_unref_threadsafe_function(env, tsfn);
  if (status != napi_ok) {
    throw_record(env, ErrorRecord(status, texts::kUnrefCustomGcFailed));
  }
  custom_gc.store(tsfn);
}

}  // namespace tov::frame
