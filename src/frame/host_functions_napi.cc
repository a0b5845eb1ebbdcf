// Run-time binding of the host's Node-API functions (Windows). Every
// Node-API function the module calls is defined here as a forwarder through
// a table slot; the slots are filled from the host's executable when the
// module is loaded and again at each registration.
#include "frame/host_functions_napi.h"

#include <node_api.h>

#include <atomic>
#include <cstdlib>

#include "platform/fatal.h"
#include "platform/windows/host_module.h"

namespace tov::frame {

namespace {

enum HostFunctionIndex : std::size_t {
#define TOV_HOST_FUNCTION(returns, name, params, args) k_##name,
#define TOV_HOST_FUNCTION_NORETURN TOV_HOST_FUNCTION
#include "frame/host_functions.inc"
#undef TOV_HOST_FUNCTION
#undef TOV_HOST_FUNCTION_NORETURN
  // libuv's loop runner, which hosts export beside Node-API. The module never
  // runs a loop of its own, so nothing forwards to it; it is bound all the
  // same, so that the table is the complete set of host names.
  k_uv_run,
  kHostFunctionCount
};

constexpr const char* kHostFunctionNames[kHostFunctionCount] = {
#define TOV_HOST_FUNCTION(returns, name, params, args) #name,
#define TOV_HOST_FUNCTION_NORETURN TOV_HOST_FUNCTION
#include "frame/host_functions.inc"
#undef TOV_HOST_FUNCTION
#undef TOV_HOST_FUNCTION_NORETURN
    "uv_run",
};

// An empty slot stands for the stub. Slots are only ever filled, never
// emptied, so a relaxed load sees either the stub or a valid address.
std::atomic<HostAddress> host_slots[kHostFunctionCount];

[[noreturn]] void unbound_host_function() {
  platform::fatal("Node-API symbol has not been loaded");
}

template <class Function>
Function host_function(std::size_t index) {
  const HostAddress address = host_slots[index].load(std::memory_order_relaxed);
  if (address == nullptr) unbound_host_function();
  return reinterpret_cast<Function>(address);
}

HostAddress find_in_host(const char* name, void* host) {
  return static_cast<const platform::HostModule*>(host)->find(name);
}

// Bound when the module is mapped, before the host calls anything.
const bool bound_at_load = (bind_host_functions(), true);

}  // namespace

void bind_host_functions_from(HostAddress (*lookup)(const char* name, void* context),
                              void* context) {
  for (std::size_t index = 0; index < kHostFunctionCount; ++index) {
    // A name the host lacks leaves the slot as it was.
    if (const HostAddress address = lookup(kHostFunctionNames[index], context)) {
      host_slots[index].store(address, std::memory_order_relaxed);
    }
  }
}

void bind_host_functions() {
  platform::HostModule host = platform::HostModule::main_executable();
  bind_host_functions_from(find_in_host, &host);
}

std::size_t host_function_count() {
  return kHostFunctionCount;
}

}  // namespace tov::frame

extern "C" {

#define TOV_HOST_FUNCTION(returns, name, params, args)                            \
  returns NAPI_CDECL name params {                                                \
    return tov::frame::host_function<decltype(&name)>(tov::frame::k_##name) args; \
  }
#define TOV_HOST_FUNCTION_NORETURN(returns, name, params, args)            \
  returns NAPI_CDECL name params {                                         \
    tov::frame::host_function<decltype(&name)>(tov::frame::k_##name) args; \
    std::abort();                                                          \
  }
#include "frame/host_functions.inc"
#undef TOV_HOST_FUNCTION
#undef TOV_HOST_FUNCTION_NORETURN

}  // extern "C"
