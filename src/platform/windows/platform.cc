#include "platform/platform.h"

#include <windows.h>

#include <bit>
#include <string_view>

#include "platform/windows/wide.h"

namespace tov::platform {

std::size_t available_cpus() {
  // The processors this process may run on; the whole machine's count when
  // the affinity cannot be had.
  DWORD_PTR process_mask = 0;
  DWORD_PTR system_mask = 0;
  if (::GetProcessAffinityMask(::GetCurrentProcess(), &process_mask, &system_mask) &&
      process_mask != 0) {
    return static_cast<std::size_t>(std::popcount(static_cast<unsigned long long>(process_mask)));
  }
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1;
}

void set_current_thread_name(const char* name) {
  // SetThreadDescription exists from Windows 10 version 1607 on; looked up so
  // that the module still loads where it is missing.
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const SetDescription set_description = [] {
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    return kernel == nullptr ? nullptr
                             : reinterpret_cast<SetDescription>(reinterpret_cast<void (*)()>(
                                   ::GetProcAddress(kernel, "SetThreadDescription")));
  }();
  if (set_description == nullptr) return;
  const std::wstring wide = windows::to_wide(name);
  set_description(::GetCurrentThread(), wide.c_str());
}

namespace {

bool is_white_space(wchar_t unit) {
  return (unit >= 0x09 && unit <= 0x0d) || unit == 0x20 || unit == 0x85 || unit == 0xa0 ||
         unit == 0x1680 || (unit >= 0x2000 && unit <= 0x200a) || unit == 0x2028 ||
         unit == 0x2029 || unit == 0x202f || unit == 0x205f || unit == 0x3000;
}

}  // namespace

std::string os_error_description(std::int32_t code) {
  const std::string number = std::to_string(code);
  wchar_t buffer[2048];
  const DWORD units = ::FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(code), 0, buffer, static_cast<DWORD>(std::size(buffer)), nullptr);
  if (units == 0) {
    const DWORD lookup_error = ::GetLastError();
    return "OS Error " + number + " (FormatMessageW() returned error " +
           std::to_string(lookup_error) + ")";
  }
  std::wstring_view text(buffer, units);
  while (!text.empty() && is_white_space(text.back())) text.remove_suffix(1);
  std::string message;
  if (!windows::to_utf8(text, message)) {
    return "OS Error " + number + " (FormatMessageW() returned invalid UTF-16)";
  }
  return message + " (os error " + number + ")";
}

}  // namespace tov::platform
