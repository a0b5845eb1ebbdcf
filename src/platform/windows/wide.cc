#include "platform/windows/wide.h"

#include <windows.h>

#include <climits>

namespace tov::platform::windows {

std::wstring to_wide(std::string_view text) {
  std::wstring wide;
  if (text.empty()) return wide;
  // Never more UTF-16 units than UTF-8 bytes, so one conversion call does.
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return wide;
  wide.resize(text.size());
  const int units = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                          wide.data(), static_cast<int>(wide.size()));
  wide.resize(units > 0 ? static_cast<std::size_t>(units) : 0);
  return wide;
}

bool to_utf8(std::wstring_view text, std::string& out) {
  out.clear();
  if (text.empty()) return true;
  if (text.size() > static_cast<std::size_t>(INT_MAX / 3)) return false;
  out.resize(text.size() * 3);  // at most three bytes per UTF-16 unit
  const int bytes =
      ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                            out.data(), static_cast<int>(out.size()), nullptr, nullptr);
  if (bytes <= 0) return false;
  out.resize(static_cast<std::size_t>(bytes));
  return true;
}

}  // namespace tov::platform::windows
