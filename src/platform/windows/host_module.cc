#include "platform/windows/host_module.h"

#include <windows.h>

#include <utility>

#include "platform/fatal.h"

namespace tov::platform {

HostModule HostModule::main_executable() {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExW(0, nullptr, &module) || module == nullptr) {
    fatal("GetModuleHandleExW failed");
  }
  return HostModule(module);
}

HostModule::~HostModule() {
  if (module_ != nullptr) ::FreeLibrary(static_cast<HMODULE>(module_));
}

HostModule::HostModule(HostModule&& other) noexcept
    : module_(std::exchange(other.module_, nullptr)) {}

HostModule::Address HostModule::find(const char* name) const noexcept {
  // The lookup error of a missing name is of no interest: the caller keeps
  // the stub it had.
  return reinterpret_cast<Address>(::GetProcAddress(static_cast<HMODULE>(module_), name));
}

}  // namespace tov::platform
