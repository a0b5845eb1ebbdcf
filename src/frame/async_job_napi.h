// Promise-returning exports that run on the host's own work pool (Node-API
// async work): the job carries its deferred and work handles; the completion
// callback settles the promise on the JavaScript thread.
#pragma once

#include <node_api.h>

#include "frame/error_napi.h"

namespace tov::frame {

struct AsyncJob {
  napi_deferred deferred = nullptr;
  napi_async_work work = nullptr;
};

// Creates the promise and queues the work, which hands `data` (the job that
// holds `job`'s handles) to both callbacks. On failure nothing is queued
// and the caller still owns the job; on success the completion callback
// takes it over.
bool queue_async_job(napi_env env, const char* name, napi_async_execute_callback execute,
                     napi_async_complete_callback complete, void* data, AsyncJob& job,
                     napi_value& promise);

// Resolves with the value or rejects with the error record.
void settle(napi_env env, napi_deferred deferred, Result<napi_value> settled);

}  // namespace tov::frame
