// JavaScript entry points of the digest functions that answer synchronously.
#include <node_api.h>

#include <string_view>
#include <vector>

#include "addon/exports.h"
#include "frame/call_napi.h"
#include "frame/convert_napi.h"
#include "hashing/batch.h"
#include "hashing/digest.h"
#include "hashing/hex_napi.h"
#include "runtime/runtime_slot.h"

namespace tov {

using frame::Result;

napi_value addon::sha256(napi_env env, napi_callback_info info) {
  return frame::call_with_args<1>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(buffer, frame::to_buffer(env, args[0]));
    runtime::RuntimeContext context;
    const hashing::Digest digest = hashing::sha256(buffer.data(), buffer.size());
    return hashing::make_hex(env, digest);
  });
}

napi_value addon::sha256_string(napi_env env, napi_callback_info info) {
  return frame::call_with_args<1>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(text, frame::to_text(env, args[0]));
    runtime::RuntimeContext context;
    return hashing::make_hex(env, hashing::sha256(text.data(), text.size()));
  });
}

napi_value addon::batch_file_hash(napi_env env, napi_callback_info info) {
  return frame::call_with_args<1>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(paths, frame::to_text_list(env, args[0]));
    runtime::RuntimeContext context;
    std::vector<std::string_view> views;
    views.reserve(paths.size());
    for (std::size_t index = 0; index < paths.size(); ++index) views.push_back(paths[index]);
    const std::vector<hashing::BatchHit> hits = hashing::hash_files(views);

    TOV_TRY(result, frame::make_array(env, hits.size()));
    for (std::size_t index = 0; index < hits.size(); ++index) {
      TOV_TRY(entry, frame::make_array(env, 2));
      TOV_TRY(path, frame::make_string(env, views[hits[index].index]));
      TOV_CHECK(frame::set_element(env, entry, 0, path));
      TOV_TRY(digest, hashing::make_hex(env, hits[index].digest));
      TOV_CHECK(frame::set_element(env, entry, 1, digest));
      TOV_CHECK(frame::set_element(env, result, index, entry));
    }
    return result;
  });
}

}  // namespace tov
