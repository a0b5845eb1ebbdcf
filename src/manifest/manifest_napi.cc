// JavaScript entry points of the manifest functions.
#include <node_api.h>

#include <span>
#include <string_view>
#include <vector>

#include "addon/exports.h"
#include "frame/call_napi.h"
#include "frame/convert_napi.h"
#include "hashing/hex_napi.h"
#include "manifest/manifest.h"
#include "runtime/runtime_slot.h"

namespace tov {

using frame::Result;

namespace {

// Entries with fewer than two items take no part; the rest become views of
// their key and value.
std::vector<manifest::Pair> pairs_of(const frame::Manifest& entries) {
  std::vector<manifest::Pair> pairs;
  pairs.reserve(entries.size());
  for (std::size_t index = 0; index < entries.size(); ++index) {
    const frame::Manifest::Entry& entry = entries.entry(index);
    if (entry.item_count < 2) continue;
    pairs.push_back({entries.view(entry.key), entries.view(entry.value)});
  }
  return pairs;
}

}  // namespace

napi_value addon::merkle_root(napi_env env, napi_callback_info info) {
  return frame::call_with_args<1>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(entries, frame::to_manifest(env, args[0]));
    runtime::RuntimeContext context;
    return hashing::make_hex(env, manifest::merkle_root(pairs_of(entries)));
  });
}

napi_value addon::merkle_diff(napi_env env, napi_callback_info info) {
  return frame::call_with_args<2>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(first, frame::to_manifest(env, args[0]));
    TOV_TRY(second, frame::to_manifest(env, args[1]));
    runtime::RuntimeContext context;
    const manifest::DiffResult changes = manifest::diff(pairs_of(first), pairs_of(second));

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

}  // namespace tov
