// How values are named in conversion messages: type names, quoted
// renderings of the value that failed, and indexed texts. Shared by the
// argument conversions and the result construction.
#pragma once

#include <node_api.h>

#include <cstddef>
#include <string>

#include "base/texts.h"
#include "frame/error_napi.h"

namespace tov::frame {

// The type name that conversion messages use ("Undefined", "Object", ...).
const char* type_name(napi_valuetype type);

// The string conversion's error for a value that is not a string, quoting
// the value.
ErrorRecord not_a_string(napi_env env, napi_value value, napi_status status);

// The string conversion's error for a string whose characters the host
// failed to copy out.
ErrorRecord unreadable_string(napi_env env, napi_value value, napi_status status);

// `prefix`, the index, and the closing "`".
std::string indexed(base::FixedText prefix, std::size_t index);

}  // namespace tov::frame
