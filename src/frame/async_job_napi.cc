#include "frame/async_job_napi.h"

namespace tov::frame {

bool queue_async_job(napi_env env, const char* name, napi_async_execute_callback execute,
                     napi_async_complete_callback complete, void* data, AsyncJob& job,
                     napi_value& promise) {
  napi_value resource_name = nullptr;
  if (napi_create_promise(env, &job.deferred, &promise) != napi_ok ||
      napi_create_string_utf8(env, name, NAPI_AUTO_LENGTH, &resource_name) != napi_ok ||
      napi_create_async_work(env, nullptr, resource_name, execute, complete, data, &job.work) !=
          napi_ok) {
    return false;
  }
  if (napi_queue_async_work(env, job.work) != napi_ok) {
    napi_delete_async_work(env, job.work);
    return false;
  }
  return true;
}

void settle(napi_env env, napi_deferred deferred, Result<napi_value> settled) {
  if (settled) {
    napi_resolve_deferred(env, deferred, *settled);
  } else {
    napi_reject_deferred(env, deferred, settled.take_error().to_error_value(env));
  }
}

}  // namespace tov::frame
