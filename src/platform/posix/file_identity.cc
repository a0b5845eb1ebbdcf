#include "platform/file_identity.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "platform/platform.h"
#include "platform/posix/stat_metadata.h"

namespace tov::platform {

namespace {

std::int64_t nanoseconds(const struct timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

FileKind kind_of(mode_t mode) {
  if (S_ISREG(mode)) return FileKind::kRegular;
  if (S_ISDIR(mode)) return FileKind::kDirectory;
  return FileKind::kOther;
}

}  // namespace

FileMetadata metadata_of(const struct stat& info) {
  FileMetadata identity;
  identity.device = static_cast<std::uint64_t>(info.st_dev);
  identity.inode = static_cast<std::uint64_t>(info.st_ino);
  identity.size = info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
#if defined(__APPLE__)
  identity.modified_ns = nanoseconds(info.st_mtimespec);
  identity.changed_ns = nanoseconds(info.st_ctimespec);
#else
  identity.modified_ns = nanoseconds(info.st_mtim);
  identity.changed_ns = nanoseconds(info.st_ctim);
#endif
  identity.kind = kind_of(info.st_mode);
  return identity;
}

base::Result<FileMetadata> query_identity(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return base::texts::kNulInPath;
  const std::string terminated(path);
  struct stat info;
  int rc;
  do {
    rc = ::stat(terminated.c_str(), &info);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return os_error(errno);
  return metadata_of(info);
}

}  // namespace tov::platform
