#include "platform/file.h"

#include <windows.h>

#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/windows/system_path.h"
#include "platform/windows/wide.h"

namespace tov::platform {

using base::Error;
using base::Result;
using base::Status;

namespace {

constexpr std::size_t kMaxReadRequest = std::size_t{1} << 30;  // fits a DWORD

// The system's legacy limit for directory paths, terminating NUL included.
// Absolute paths shorter than this are handed over as they are.
constexpr std::size_t kLegacyMaxPath = 248;

Error last_error() {
  return os_error(static_cast<std::int32_t>(::GetLastError()));
}

bool is_separator(wchar_t unit) {
  return unit == L'\\' || unit == L'/';
}

bool starts_with(const std::wstring& text, std::wstring_view prefix) {
  return std::wstring_view(text).substr(0, prefix.size()) == prefix;
}

// A drive-letter path ("C:\dir", "C:/dir", "C:") or a network or device path
// ("\\server\share", "//server/share"), which need no resolving.
bool is_absolute(const std::wstring& path) {
  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) return true;
  if (path.size() >= 2 && !is_separator(path[0]) && path[1] == L':') {
    return path.size() == 2 || is_separator(path[2]);
  }
  return false;
}

}  // namespace

// The form of `path` that CreateFileW takes: extended-length paths and short
// absolute ones as they are; every other path is made absolute (relative to
// the current directory now) and extended-length, so that neither a relative
// path nor one of 260 units or more stops the open.
Status windows::system_path(std::string_view path, std::wstring& out) {
  if (path.find('\0') != std::string_view::npos) return base::texts::kNulInPath;
  out = windows::to_wide(path);
  if (out.empty() || starts_with(out, L"\\\\?\\") || starts_with(out, L"\\??\\")) return {};
  if (out.size() + 1 < kLegacyMaxPath && is_absolute(out)) return {};

  std::wstring absolute(out.size() + 256, L'\0');
  for (;;) {
    const DWORD units = ::GetFullPathNameW(out.c_str(), static_cast<DWORD>(absolute.size()),
                                           absolute.data(), nullptr);
    if (units == 0) return last_error();
    if (units < absolute.size()) {
      absolute.resize(units);
      break;
    }
    absolute.resize(units);  // the size asked for, terminating NUL included
  }

  std::wstring_view rest = absolute;
  std::wstring_view prefix;
  if (rest.size() >= 3 && rest[1] == L':' && rest[2] == L'\\') {
    prefix = L"\\\\?\\";
  } else if (rest.substr(0, 4) == L"\\\\.\\") {
    rest.remove_prefix(4);
    prefix = L"\\\\?\\";
  } else if (rest.substr(0, 4) == L"\\\\?\\" || rest.substr(0, 4) == L"\\??\\") {
  } else if (rest.substr(0, 2) == L"\\\\") {
    rest.remove_prefix(2);
    prefix = L"\\\\?\\UNC\\";
  }
  out.assign(prefix);
  out.append(rest);
  return {};
}

namespace {

HANDLE to_handle(std::intptr_t value) {
  return reinterpret_cast<HANDLE>(value);
}

FileStatus to_status(const BY_HANDLE_FILE_INFORMATION& info) {
  FileStatus status;
  status.is_regular = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  status.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  status.identity = {info.dwVolumeSerialNumber,
                     (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
  return status;
}

Result<FileStatus> status_of(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(handle, &info)) return last_error();
  return to_status(info);
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

bool is_exhaustion(const Error& error) noexcept {
  switch (error.system_code()) {
    case ERROR_TOO_MANY_OPEN_FILES:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
    case ERROR_NONPAGED_SYSTEM_RESOURCES:
    case ERROR_PAGED_SYSTEM_RESOURCES:
      return true;
    default:
      return false;
  }
}

Result<FileStatus> query_path(std::string_view path) {
  std::wstring wide;
  if (Status converted = windows::system_path(path, wide); !converted)
    return std::move(converted).error();
  // No access rights are needed for the metadata, and backup semantics let
  // a directory be opened too; symbolic links are followed to their target.
  const HANDLE handle = ::CreateFileW(wide.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return last_error();
  Result<FileStatus> status = status_of(handle);
  ::CloseHandle(handle);
  return status;
}

Result<FileStatus> query_path(const char* path) {
  return query_path(std::string_view(path));
}

File::~File() {
  (void)close();
}

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, kNoHandle)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    (void)close();
    handle_ = std::exchange(other.handle_, kNoHandle);
  }
  return *this;
}

Status File::open_for_reading(std::string_view path, FileStatus* status) {
  (void)close();
  std::wstring wide;
  if (Status converted = windows::system_path(path, wide); !converted) return converted;
  // Other programs may go on reading, writing, renaming and deleting the
  // file while it is read, as they could if it were not open here.
  const HANDLE handle = ::CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return last_error();
  handle_ = reinterpret_cast<std::intptr_t>(handle);
  if (status != nullptr) {
    Result<FileStatus> queried = status_of(handle);
    if (!queried) {
      (void)close();
      return std::move(queried).error();
    }
    *status = *queried;
  }
  return {};
}

Status File::open_blocking(std::string_view path) {
  // Windows has no FIFOs that an open could wait on: the same open serves.
  return open_for_reading(path);
}

Result<FileStatus> File::status() const {
  return status_of(to_handle(handle_));
}

Result<std::size_t> File::read(void* buffer, std::size_t capacity) {
  const DWORD request = static_cast<DWORD>(capacity < kMaxReadRequest ? capacity : kMaxReadRequest);
  DWORD done = 0;
  if (!::ReadFile(to_handle(handle_), buffer, request, &done, nullptr)) {
    const DWORD code = ::GetLastError();
    // A pipe whose writer has gone is at its end, not broken.
    if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF) return std::size_t{0};
    return os_error(static_cast<std::int32_t>(code));
  }
  return static_cast<std::size_t>(done);
}

Status File::close() {
  if (handle_ == kNoHandle) return {};
  if (!::CloseHandle(to_handle(std::exchange(handle_, kNoHandle)))) return last_error();
  return {};
}

}  // namespace tov::platform
