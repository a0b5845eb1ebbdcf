// The host's Node-API functions. Where the system's loader resolves them when
// the module is mapped (Linux, macOS), there is nothing to bind. On Windows
// the module names no import library, because the host may be any program
// that exports Node-API (a renamed node.exe, an application embedding Node):
// every function is looked up in the host's executable at run time instead.
#pragma once

#include <cstddef>

namespace tov::frame {

#if defined(_WIN32)

// Looks every known host function up in the host's main executable. A
// function the host lacks keeps its stub, which prints "Node-API symbol has
// not been loaded" and aborts if it is ever called; a function already bound
// stays bound. Safe to call again, from any thread.
void bind_host_functions();

// Binds from `lookup` instead of the host's executable (for tests of hosts
// that lack functions). `lookup` returns nullptr for a name it does not know.
using HostAddress = void (*)();
void bind_host_functions_from(HostAddress (*lookup)(const char* name, void* context),
                              void* context);

// How many host functions the module knows.
std::size_t host_function_count();

#else

inline void bind_host_functions() {}

#endif

}  // namespace tov::frame
