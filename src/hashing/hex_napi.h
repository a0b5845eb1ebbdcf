// A digest as the JavaScript string every digest function returns.
#pragma once

#include <node_api.h>

#include "frame/results_napi.h"
#include "hashing/digest.h"

namespace tov::hashing {

inline frame::Result<napi_value> make_hex(napi_env env, const Digest& digest) {
  char hex[kHexDigestSize];
  to_hex(digest, hex);
  return frame::make_ascii_string(env, {hex, sizeof(hex)});
}

}  // namespace tov::hashing
