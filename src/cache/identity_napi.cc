// statFiles(paths): the identities of many files in one call, for the
// content cache of the tree functions.
#include <node_api.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cache/identity_batch.h"
#include "cache/identity_napi.h"
#include "frame/call_napi.h"
#include "frame/args_napi.h"

namespace tov::cache {

using frame::Result;

namespace {

frame::ErrorRecord result_failed(napi_status status) {
  return frame::ErrorRecord(status, std::string("statFiles: the result could not be made"));
}

}  // namespace

// Returns { records: Uint8Array, errors: Int32Array } over one buffer:
// kRecordSize bytes and one error slot per path, in list order.
napi_value stat_files(napi_env env, napi_callback_info info) {
  return frame::call_with_args<1>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(list, frame::to_text_list(env, args[0]));
    const std::size_t count = list.size();
    std::vector<std::string_view> paths(count);
    for (std::size_t i = 0; i < count; ++i) paths[i] = list[i];

    const std::size_t record_bytes = count * kRecordSize;
    void* data = nullptr;
    napi_value buffer = nullptr;
    napi_status status =
        napi_create_arraybuffer(env, record_bytes + count * sizeof(std::int32_t), &data, &buffer);
    if (status != napi_ok) return result_failed(status);
    auto* bytes = static_cast<std::uint8_t*>(data);
    query_identities(paths, std::span(bytes, record_bytes),
                     std::span(reinterpret_cast<std::int32_t*>(bytes + record_bytes), count));

    napi_value records = nullptr;
    napi_value errors = nullptr;
    napi_value result = nullptr;
    if ((status = napi_create_typedarray(env, napi_uint8_array, record_bytes, buffer, 0,
                                         &records)) != napi_ok ||
        (status = napi_create_typedarray(env, napi_int32_array, count, buffer, record_bytes,
                                         &errors)) != napi_ok ||
        (status = napi_create_object(env, &result)) != napi_ok ||
        (status = napi_set_named_property(env, result, "records", records)) != napi_ok ||
        (status = napi_set_named_property(env, result, "errors", errors)) != napi_ok) {
      return result_failed(status);
    }
    return result;
  });
}

}  // namespace tov::cache
