// JavaScript entry points of the manifest functions.
#include <node_api.h>

#include <span>
#include <string_view>
#include <vector>

#include "frame/args_napi.h"
#include "frame/call_napi.h"
#include "frame/results_napi.h"
#include "hashing/hex_napi.h"
#include "manifest/manifest.h"
#include "manifest/manifest_napi.h"

namespace tov::manifest {

using frame::Result;

namespace {

// Entries with fewer than two items take no part; the rest become views of
// their key and value.
std::vector<Pair> pairs_of(const frame::Manifest& entries) {
  std::vector<Pair> pairs;
  pairs.reserve(entries.size());
  for (std::size_t index = 0; index < entries.size(); ++index) {
    const frame::Manifest::Entry& entry = entries.entry(index);
    if (entry.item_count < 2) continue;
    pairs.push_back({entries.view(entry.key), entries.view(entry.value)});
  }
  return pairs;
}

}  // namespace

napi_value merkle_root_napi(napi_env env, napi_callback_info info) {
  return frame::call_with_args<1>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(entries, frame::to_manifest(env, args[0]));
    return hashing::make_hex(env, merkle_root(pairs_of(entries)));
  });
}

napi_value merkle_diff_napi(napi_env env, napi_callback_info info) {
  return frame::call_with_args<2>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(first, frame::to_manifest(env, args[0]));
    TOV_TRY(second, frame::to_manifest(env, args[1]));
    const DiffResult changes = diff(pairs_of(first), pairs_of(second));

    TOV_TRY(result, frame::make_object(env));
    TOV_TRY(added, frame::make_string_array(env, changes.added));
    TOV_CHECK(frame::set_field(env, result, "added", added));
    TOV_TRY(modified, frame::make_string_array(env, changes.modified));
    TOV_CHECK(frame::set_field(env, result, "modified", modified));
    TOV_TRY(deleted, frame::make_string_array(env, changes.deleted));
    TOV_CHECK(frame::set_field(env, result, "deleted", deleted));
    return result;
  });
}

}  // namespace tov::manifest
