#include "frame/promise_napi.h"

#include <mutex>
#include <utility>

#include "runtime/runtime_slot.h"

namespace tov::frame {

namespace detail {

// One call's promise and its settle channel. The channel is released exactly
// once, by the first delivery; `finalized` records that the host has disposed
// of the channel (after settling, or because its environment ended), after
// which nothing may touch it.
struct PromiseCall {
  std::mutex mutex;
  napi_deferred deferred = nullptr;
  napi_threadsafe_function channel = nullptr;
  bool delivered = false;  // guarded by mutex
  bool finalized = false;  // guarded by mutex
};

}  // namespace detail

namespace {

using detail::PromiseCall;

// 21 characters and a NUL: the resource name includes its terminator.
constexpr char kResourceName[] = "napi_resolve_deferred";
constexpr std::size_t kResourceNameLength = sizeof(kResourceName);

void channel_finalized(napi_env, void* data, void*) {
  std::unique_ptr<std::shared_ptr<PromiseCall>> holder(static_cast<std::shared_ptr<PromiseCall>*>(data));
  std::lock_guard lock((*holder)->mutex);
  (*holder)->finalized = true;
}

void reject(napi_env env, napi_deferred deferred, ErrorRecord record) {
  napi_reject_deferred(env, deferred, record.to_error_value(env));
}

// Runs on the JavaScript thread, once per call, with the outcome record.
void settle(napi_env env, napi_value, void* context, void* data) {
  std::unique_ptr<WorkOutcome> outcome(static_cast<WorkOutcome*>(data));
  // No environment: the channel is being torn down and only the record is freed.
  if (env == nullptr || outcome == nullptr) return;
  const napi_deferred deferred = static_cast<PromiseCall*>(context)->deferred;
  if (auto* failure = std::get_if<WorkFailure>(outcome.get())) {
    ErrorRecord record(napi_generic_failure, std::move(failure->message));
    reject(env, deferred, std::move(record));
    return;
  }
  const std::string& text = std::get<std::string>(*outcome);
  napi_value value = nullptr;
  const napi_status status = napi_create_string_utf8(env, text.data(), text.size(), &value);
  if (status != napi_ok) {
    reject(env, deferred, ErrorRecord(status, "Failed to convert rust `String` into napi `string`"));
    return;
  }
  // A failed resolve has already consumed the deferred in the host, so it
  // cannot be rejected afterwards; the failure is left to the host.
  napi_resolve_deferred(env, deferred, value);
}

}  // namespace

void PromiseSettler::deliver(WorkOutcome outcome) const {
  std::lock_guard lock(call_->mutex);
  if (call_->delivered) return;
  call_->delivered = true;
  if (call_->finalized) return;
  auto record = std::make_unique<WorkOutcome>(std::move(outcome));
  // The queue is unbounded, so a blocking call never waits.
  if (napi_call_threadsafe_function(call_->channel, record.get(), napi_tsfn_blocking) == napi_ok) {
    record.release();
  }
  napi_release_threadsafe_function(call_->channel, napi_tsfn_release);
}

void PromiseSettler::fail(std::string_view message) const {
  deliver(WorkFailure{napi_generic_failure, std::string(message)});
}

Result<napi_value> spawn_promise_work(napi_env env, runtime::UniqueFunction<void(PromiseSettler)> work) {
  napi_deferred deferred = nullptr;
  napi_value promise = nullptr;
  napi_status status = napi_create_promise(env, &deferred, &promise);
  if (status != napi_ok) return ErrorRecord(status, {});

  napi_value name = nullptr;
  status = napi_create_string_utf8(env, kResourceName, kResourceNameLength, &name);
  if (status != napi_ok) return ErrorRecord(status, "Create async resource name in JsDeferred failed");

  auto call = std::make_shared<PromiseCall>();
  call->deferred = deferred;
  auto holder = std::make_unique<std::shared_ptr<PromiseCall>>(call);
  status = napi_create_threadsafe_function(env, nullptr, nullptr, name, 0, 1, holder.get(),
                                           channel_finalized, call.get(), settle, &call->channel);
  if (status != napi_ok) return ErrorRecord(status, "Create threadsafe function in JsDeferred failed");
  holder.release();  // the channel's finalizer owns it now

  PromiseSettler settler(call);
  const bool spawned = runtime::spawn_guarded(
      [work = std::move(work), settler]() mutable { work(settler); },
      [settler](std::string_view fault) { settler.fail(fault); });
  // Only a runtime that is shutting down refuses work; the channel must
  // still be released so that the event loop is not held open.
  if (!spawned) settler.fail("background task failed");
  return promise;
}

}  // namespace tov::frame
