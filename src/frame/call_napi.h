// The call frame shared by every synchronous export: fetch a fixed number of
// arguments, hand them to the function's body, and turn any error record it
// returns into a thrown exception. Synchronous bodies run inside the
// background runtime's context, entered here once for every call.
#pragma once

#include <node_api.h>

#include <array>
#include <cstddef>
#include <exception>
#include <new>
#include <optional>

#include "base/texts.h"
#include "frame/error_napi.h"
#include "platform/fatal.h"
#include "runtime/runtime_slot.h"

namespace tov::frame {

// No C++ exception may reach the host: allocation failure and broken
// invariants end the process, as the host could not recover either.
template <class Fn>
napi_value guard_host_call(Fn&& fn) noexcept {
  try {
    return fn();
  } catch (const std::bad_alloc&) {
    platform::fatal(base::texts::kAllocationFailed);
  } catch (const std::exception& error) {
    platform::fatal(error.what());
  } catch (...) {
    platform::fatal(base::texts::kUnexpectedNativeFailure);
  }
}

namespace detail {

template <std::size_t N, bool kEnterRuntime, class Body>
napi_value call(napi_env env, napi_callback_info info, Body& body) noexcept {
  return guard_host_call([&]() -> napi_value {
    std::array<napi_value, N> args{};
    if constexpr (N > 0) {
      std::size_t count = N;
      napi_value self = nullptr;
      const napi_status status = napi_get_cb_info(env, info, &count, args.data(), &self, nullptr);
      if (status != napi_ok) {
        throw_record(env, ErrorRecord(status, base::texts::kFunctionCallInitFailed));
        return nullptr;
      }
    } else {
      (void)info;
    }
    std::optional<runtime::RuntimeContext> context;
    if constexpr (kEnterRuntime) context.emplace();
    Result<napi_value> result = body(env, args);
    if (!result) {
      throw_record(env, result.take_error());
      return nullptr;
    }
    return *result;
  });
}

}  // namespace detail

// Runs `body(env, args)` for a synchronous function declaring N arguments,
// inside the background runtime's context. Missing arguments arrive as
// undefined; extra ones are never fetched.
template <std::size_t N, class Body>
napi_value call_with_args(napi_env env, napi_callback_info info, Body&& body) noexcept {
  return detail::call<N, true>(env, info, body);
}

// The same for a function that returns a promise: its body only hands work
// to the runtime, which needs no context for that.
template <std::size_t N, class Body>
napi_value call_promise_with_args(napi_env env, napi_callback_info info, Body&& body) noexcept {
  return detail::call<N, false>(env, info, body);
}

}  // namespace tov::frame
