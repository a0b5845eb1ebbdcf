#include "platform/module_pin.h"

#include <windows.h>

namespace tov::platform {

namespace {

bool pin_once() noexcept {
  // A pinned module stays mapped until the process ends, whatever
  // FreeLibrary calls follow.
  HMODULE module = nullptr;
  return ::GetModuleHandleExW(
             GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
             reinterpret_cast<LPCWSTR>(reinterpret_cast<const void*>(&pin_once)), &module) != 0;
}

}  // namespace

bool pin_loaded_module() noexcept {
  static const bool pinned = pin_once();
  return pinned;
}

}  // namespace tov::platform
