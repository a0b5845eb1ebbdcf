#include "platform/file_identity.h"

#include <windows.h>

#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/windows/system_path.h"

namespace tov::platform {

namespace {

// FILETIME ticks are 100 ns since 1601; this many lie before 1970.
constexpr std::int64_t kTicksBefore1970 = 116'444'736'000'000'000;

std::int64_t nanoseconds(std::int64_t ticks) {
  return (ticks - kTicksBefore1970) * 100;
}

std::int64_t ticks_of(const FILETIME& time) {
  return static_cast<std::int64_t>((std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime);
}

// A handle closed when the object goes away.
class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

base::Error last_error() {
  return os_error(static_cast<std::int32_t>(::GetLastError()));
}

}  // namespace

base::Result<FileMetadata> query_identity(std::string_view path) {
  std::wstring wide;
  if (base::Status converted = windows::system_path(path, wide); !converted) {
    return std::move(converted).error();
  }
  // Reading attributes needs no access to the data, so a file another
  // program holds open for writing still answers; backup semantics open a
  // directory too. Links are followed to their target, as the walk does.
  const Handle handle(::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (handle.get() == INVALID_HANDLE_VALUE) return last_error();
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(handle.get(), &info)) return last_error();
  // The change time is only in the basic information; the file index and
  // volume serial number only in the older record.
  FILE_BASIC_INFO basic;
  if (!::GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &basic, sizeof basic)) {
    return last_error();
  }
  FileMetadata identity;
  identity.device = info.dwVolumeSerialNumber;
  identity.inode = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  identity.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  identity.modified_ns = nanoseconds(ticks_of(info.ftLastWriteTime));
  identity.changed_ns = nanoseconds(basic.ChangeTime.QuadPart);
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    identity.kind = FileKind::kDirectory;
  } else if (::GetFileType(handle.get()) == FILE_TYPE_DISK) {
    identity.kind = FileKind::kRegular;
  } else {
    identity.kind = FileKind::kOther;
  }
  return identity;
}

}  // namespace tov::platform
