// Result construction: the native values a function body produces, as
// JavaScript values. Each failure is an error record with the exact message
// callers match on.
#pragma once

#include <node_api.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "frame/error_napi.h"

namespace tov::frame {

Result<napi_value> make_string(napi_env env, std::string_view text);
// The same for text known to be ASCII (hex digests), without checking it.
Result<napi_value> make_ascii_string(napi_env env, std::string_view text);
// The first `units` UTF-16 units of the string `whole` as a new string of
// its own, copied unit for unit (lone surrogates stay as they are).
Result<napi_value> make_prefix_copy(napi_env env, napi_value whole, std::size_t units);
Result<napi_value> make_u32(napi_env env, std::uint32_t number);
Result<napi_value> make_string_array(napi_env env, std::span<const std::string_view> items);
Result<napi_value> make_array(napi_env env, std::size_t length);
Status set_element(napi_env env, napi_value array, std::size_t index, napi_value element);
Result<napi_value> make_object(napi_env env);
Status set_field(napi_env env, napi_value object, const char* name, napi_value value);

}  // namespace tov::frame
