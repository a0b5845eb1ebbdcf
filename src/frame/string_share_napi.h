// Handing back part of a string argument without copying its characters.
#pragma once

#include <node_api.h>

#include <cstddef>

namespace tov::frame {

// Remembers, for `env`, String.prototype.slice as it is when the module is
// loaded, so that later changes to it by other code do not reach us. Best
// effort: when it cannot be had, prefixes are copied instead.
void capture_string_slice(napi_env env);

// String.prototype.slice as captured for `env`, or nullptr when it could not
// be had.
napi_value captured_slice(napi_env env);

// The first `units` UTF-16 code units of the string `whole`, as a string that
// shares `whole`'s characters instead of copying them (which, for large
// strings, the engine pays for page by page). nullptr when that cannot be
// done here; nothing is then pending.
napi_value share_prefix(napi_env env, napi_value whole, std::size_t units);

}  // namespace tov::frame
