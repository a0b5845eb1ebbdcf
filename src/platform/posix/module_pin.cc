#include "platform/module_pin.h"

#include <dlfcn.h>

namespace tov::platform {

namespace {

bool pin_once() noexcept {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<const void*>(&pin_once), &info) == 0 || info.dli_fname == nullptr) {
    return false;
  }
  // RTLD_NOLOAD finds the copy already mapped instead of loading another;
  // RTLD_NODELETE makes every later dlclose leave it in place. The handle is
  // deliberately never closed.
  return ::dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}

}  // namespace

bool pin_loaded_module() noexcept {
  static const bool pinned = pin_once();
  return pinned;
}

}  // namespace tov::platform
