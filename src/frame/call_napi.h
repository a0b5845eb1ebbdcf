// The call frame shared by every synchronous export: fetch a fixed number of
// arguments, hand them to the function's body, and turn any error record it
// returns into a thrown exception. The frame does not enter the runtime's
// context: each synchronous body does so itself (runtime::RuntimeContext)
// once its arguments are converted.
#pragma once

#include <node_api.h>

#include <array>
#include <cstddef>
#include <exception>
#include <new>

#include "frame/error_napi.h"
#include "platform/fatal.h"

namespace tov::frame {

// No C++ exception may reach the host: allocation failure and broken
// invariants end the process, as the host could not recover either.
template <class Fn>
napi_value guard_host_call(Fn&& fn) noexcept {
  try {
    return fn();
  } catch (const std::bad_alloc&) {
    platform::fatal("memory allocation failed");
  } catch (const std::exception& error) {
    platform::fatal(error.what());
  } catch (...) {
    platform::fatal("unexpected failure in native code");
  }
}

// Runs `body(env, args)` for a function declaring N arguments. Missing
// arguments arrive as undefined; extra ones are never fetched.
template <std::size_t N, class Body>
napi_value call_with_args(napi_env env, napi_callback_info info, Body&& body) noexcept {
  return guard_host_call([&]() -> napi_value {
    std::array<napi_value, N> args{};
    std::size_t count = N;
    napi_value self = nullptr;
    const napi_status status = napi_get_cb_info(env, info, &count, args.data(), &self, nullptr);
    if (status != napi_ok) {
      throw_record(env, ErrorRecord(status, "Failed to initialize napi function call."));
      return nullptr;
    }
    Result<napi_value> result = body(env, args);
    if (!result) {
      throw_record(env, result.take_error());
      return nullptr;
    }
    return *result;
  });
}

}  // namespace tov::frame
