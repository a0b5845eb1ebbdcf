// Process-wide services for references released away from their JavaScript
// thread: the custom GC thread-safe function, whose callback releases a posted
// reference on the thread that created it, and the map of threads that run an
// environment holding the module. Registration sets both up; no export posts
// to the custom GC today, because synchronous calls hold no references.
#pragma once

#include <node_api.h>

namespace tov::frame {

// Marks the calling thread as running an environment that holds the module,
// and registers the hook that clears the mark when the environment ends.
void mark_env_thread(napi_env env);

// Creates the custom GC thread-safe function; called by the first
// registration of the process only.
void create_custom_gc(napi_env env);

}  // namespace tov::frame
