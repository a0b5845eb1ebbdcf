// The executable module of the host process, for looking up the functions
// it exports.
#pragma once

namespace tov::platform {

class HostModule {
 public:
  using Address = void (*)();

  // The process's main executable, with a reference added that the object
  // gives back when it goes away. The process aborts with "GetModuleHandleExW
  // failed" if no handle can be had: nothing of the host could be called.
  static HostModule main_executable();

  ~HostModule();
  HostModule(HostModule&& other) noexcept;
  HostModule(const HostModule&) = delete;
  HostModule& operator=(const HostModule&) = delete;
  HostModule& operator=(HostModule&&) = delete;

  // The exported function `name`, or nullptr when the module has none.
  Address find(const char* name) const noexcept;

 private:
  explicit HostModule(void* module) : module_(module) {}

  void* module_;  // HMODULE
};

}  // namespace tov::platform
