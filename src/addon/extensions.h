// The functions beyond the fixed export table. They are reached through a
// second registration of the same binary: a registration that finds the
// extension mark on the environment's global object gets this table instead
// of the nine functions (lib/native/extensions.js does so), so the package ships one
// binary and the nine-function table stays exactly as it is.
#pragma once

#include <node_api.h>

namespace tov::addon {

// The own property of the global object whose presence asks for the
// extension table. Its value is ignored. (Hosts differ in whether the
// exports object a loader is handed reaches the registration, so the mark
// travels on the global, set by the loader for the call alone.)
inline constexpr char kExtensionMark[] = "tovEngineExtensions";

// True when the global object carries the mark; any failure to ask counts as no.
bool wants_extensions(napi_env env);

// Defines the extension functions on `exports` and returns it.
napi_value register_extensions(napi_env env, napi_value exports);

}  // namespace tov::addon
