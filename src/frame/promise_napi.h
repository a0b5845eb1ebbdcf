// Promise-returning exports: the promise is created on the JavaScript thread,
// the work runs on the background runtime, and the outcome travels back
// through a thread-safe function whose callback settles the promise.
#pragma once

#include <node_api.h>

#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "frame/error_napi.h"
#include "runtime/unique_function.h"

namespace tov::frame {

// An error made in background work: never a JavaScript exception.
struct WorkFailure {
  int status;
  std::string message;
};

// Success is always text.
using WorkOutcome = std::variant<std::string, WorkFailure>;

namespace detail {
struct PromiseCall;
}

// The right to settle one call's promise. Copies share it; the first delivery
// wins and later ones are ignored, so the work and its fault handler can both
// hold a copy.
class PromiseSettler {
 public:
  explicit PromiseSettler(std::shared_ptr<detail::PromiseCall> call) : call_(std::move(call)) {}
  void deliver(WorkOutcome outcome) const;
  void fail(std::string_view message) const;  // GenericFailure with `message`

 private:
  std::shared_ptr<detail::PromiseCall> call_;
};

// Creates the promise and its settle channel, then spawns `work` on a runtime
// worker. The work must eventually deliver; if it faults instead (throws), the
// promise is rejected with GenericFailure and the fault's fixed text or
// "Panic in async function".
Result<napi_value> spawn_promise_work(napi_env env, runtime::UniqueFunction<void(PromiseSettler)> work);

}  // namespace tov::frame
