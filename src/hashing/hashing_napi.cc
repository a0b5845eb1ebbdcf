// JavaScript entry points of the digest functions that answer synchronously.
#include <node_api.h>

#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "base/texts.h"
#include "frame/args_napi.h"
#include "frame/call_napi.h"
#include "frame/results_napi.h"
#include "frame/text_windows_napi.h"
#include "hashing/batch.h"
#include "hashing/digest.h"
#include "hashing/hashing_napi.h"
#include "hashing/hex_napi.h"

namespace tov::hashing {

using frame::Result;

napi_value sha256_napi(napi_env env, napi_callback_info info) {
  return frame::call_with_args<1>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(buffer, frame::to_buffer(env, args[0]));
    const Digest digest = sha256(buffer.data(), buffer.size());
    return make_hex(env, digest);
  });
}

napi_value sha256_string_napi(napi_env env, napi_callback_info info) {
  return frame::call_with_args<1>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(length, frame::string_units(env, args[0]));
    frame::TextWindows text(env, args[0], length, frame::kWholeTextWindows);
    const Digest digest = sha256(text.windows());
    TOV_CHECK(text.status());
    return make_hex(env, digest);
  });
}

napi_value batch_file_hash_napi(napi_env env, napi_callback_info info) {
  return frame::call_with_args<1>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(paths, frame::to_text_list(env, args[0]));
    std::vector<std::string_view> views;
    views.reserve(paths.size());
    for (std::size_t index = 0; index < paths.size(); ++index) views.push_back(paths[index]);
    const base::Result<std::vector<BatchHit>> hashed = hash_files(views);
    if (!hashed) {
      return frame::ErrorRecord(napi_generic_failure, std::string(base::texts::kReadError) +
                                                          hashed.error().description());
    }
    const std::vector<BatchHit>& hits = *hashed;

    TOV_TRY(result, frame::make_array(env, hits.size()));
    for (std::size_t index = 0; index < hits.size(); ++index) {
      TOV_TRY(entry, frame::make_array(env, 2));
      TOV_TRY(path, frame::make_string(env, views[hits[index].index]));
      TOV_CHECK(frame::set_element(env, entry, 0, path));
      TOV_TRY(digest, make_hex(env, hits[index].digest));
      TOV_CHECK(frame::set_element(env, entry, 1, digest));
      TOV_CHECK(frame::set_element(env, result, index, entry));
    }
    return result;
  });
}

}  // namespace tov::hashing
