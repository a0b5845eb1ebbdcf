// Buffer references may be dropped on a thread that runs no JavaScript; such
// releases are posted to a process-wide thread-safe function (the custom GC)
// and done on the JavaScript thread that created it.
#pragma once

#include <node_api.h>

namespace tov::frame {

// Marks the calling thread as running an environment that holds the module,
// and registers the hook that clears the mark when the environment ends.
void mark_env_thread(napi_env env);

// Creates the custom GC thread-safe function; called by the first
// registration of the process only.
void create_custom_gc(napi_env env);

// Unreferences and deletes a Buffer reference: directly when called on the
// thread that made it, else through the custom GC.
void release_buffer_reference(napi_env env, napi_ref ref, bool on_owner_thread);

}  // namespace tov::frame
