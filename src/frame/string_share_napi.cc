#include "frame/string_share_napi.h"

#include <cstdint>

namespace tov::frame {

namespace {

struct EnvStrings {
  napi_ref slice = nullptr;
};

void delete_env_strings(napi_env env, void* data, void*) {
  auto* strings = static_cast<EnvStrings*>(data);
  if (strings->slice != nullptr) napi_delete_reference(env, strings->slice);
  delete strings;
}

bool exception_pending(napi_env env) {
  bool pending = false;
  return napi_is_exception_pending(env, &pending) != napi_ok || pending;
}

// Leaves no exception of ours behind: a failed lookup or call only means
// that the prefix is copied. Callers make sure that nothing was pending
// before, so nobody else's exception is lost.
void clear_pending(napi_env env) {
  if (exception_pending(env)) {
    napi_value ignored;
    napi_get_and_clear_last_exception(env, &ignored);
  }
}

napi_value lookup_slice(napi_env env) {
  napi_value global;
  napi_value string_class;
  napi_value prototype;
  napi_value slice;
  napi_valuetype type;
  if (napi_get_global(env, &global) != napi_ok ||
      napi_get_named_property(env, global, "String", &string_class) != napi_ok ||
      napi_get_named_property(env, string_class, "prototype", &prototype) != napi_ok ||
      napi_get_named_property(env, prototype, "slice", &slice) != napi_ok ||
      napi_typeof(env, slice, &type) != napi_ok || type != napi_function) {
    clear_pending(env);
    return nullptr;
  }
  return slice;
}

}  // namespace

void capture_string_slice(napi_env env) {
  if (exception_pending(env)) return;  // the registration has failed already
  napi_value slice = lookup_slice(env);
  if (slice == nullptr) return;
  auto* strings = new EnvStrings;
  if (napi_create_reference(env, slice, 1, &strings->slice) != napi_ok) strings->slice = nullptr;
  if (napi_set_instance_data(env, strings, delete_env_strings, nullptr) != napi_ok) {
    delete_env_strings(env, strings, nullptr);
  }
}

napi_value captured_slice(napi_env env) {
  void* data = nullptr;
  if (napi_get_instance_data(env, &data) != napi_ok || data == nullptr) return nullptr;
  const napi_ref ref = static_cast<EnvStrings*>(data)->slice;
  napi_value slice = nullptr;
  if (ref == nullptr || napi_get_reference_value(env, ref, &slice) != napi_ok) return nullptr;
  return slice;
}

napi_value share_prefix(napi_env env, napi_value whole, std::size_t units) {
  if (exception_pending(env)) return nullptr;
  void* data = nullptr;
  if (napi_get_instance_data(env, &data) != napi_ok || data == nullptr) return nullptr;
  const napi_ref ref = static_cast<EnvStrings*>(data)->slice;
  napi_value slice;
  napi_value args[2];
  napi_value result;
  if (ref == nullptr || units > UINT32_MAX ||
      napi_get_reference_value(env, ref, &slice) != napi_ok || slice == nullptr ||
      napi_create_uint32(env, 0, &args[0]) != napi_ok ||
      napi_create_uint32(env, static_cast<std::uint32_t>(units), &args[1]) != napi_ok ||
      napi_call_function(env, whole, slice, 2, args, &result) != napi_ok) {
    clear_pending(env);
    return nullptr;
  }
  // Other code may have replaced slice before the module was loaded, so the
  // one captured is not necessarily the engine's: what it gives back is used
  // only if it is a string of the asked-for length.
  napi_valuetype type;
  std::size_t length = 0;
  if (napi_typeof(env, result, &type) != napi_ok || type != napi_string ||
      napi_get_value_string_utf16(env, result, nullptr, 0, &length) != napi_ok || length != units) {
    return nullptr;
  }
  return result;
}

}  // namespace tov::frame
