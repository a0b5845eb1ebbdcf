#include "platform/directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <utility>

#include "base/texts.h"
#include "platform/platform.h"
#include "platform/posix/stat_metadata.h"

namespace tov::platform {

namespace {

struct DirCloser {
  void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

EntryType type_of_mode(mode_t mode) {
  if (S_ISREG(mode)) return EntryType::kRegular;
  if (S_ISDIR(mode)) return EntryType::kDirectory;
  if (S_ISLNK(mode)) return EntryType::kLink;
  return EntryType::kOther;
}

EntryType type_of_entry([[maybe_unused]] const struct dirent& entry) {
#if defined(DT_UNKNOWN)
  switch (entry.d_type) {
    case DT_REG:
      return EntryType::kRegular;
    case DT_DIR:
      return EntryType::kDirectory;
    case DT_LNK:
      return EntryType::kLink;
    case DT_UNKNOWN:
      return EntryType::kUnknown;
    default:
      return EntryType::kOther;
  }
#else
  return EntryType::kUnknown;
#endif
}

bool has_nul(std::string_view path) {
  return path.find('\0') != std::string_view::npos;
}

}  // namespace

bool can_list_directories() noexcept {
  return true;
}

Directory::~Directory() {
  if (handle_ != nullptr) ::closedir(static_cast<DIR*>(handle_));
}

Directory::Directory(Directory&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

Directory& Directory::operator=(Directory&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) ::closedir(static_cast<DIR*>(handle_));
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

base::Status Directory::open(std::string_view path, bool no_follow) {
  if (handle_ != nullptr) {
    ::closedir(static_cast<DIR*>(handle_));
    handle_ = nullptr;
  }
  if (has_nul(path)) return base::texts::kNulInPath;
  const std::string terminated(path);
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK;
  if (no_follow) flags |= O_NOFOLLOW;
  int fd;
  do {
    fd = ::open(terminated.c_str(), flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return os_error(errno);
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    const int code = errno;
    ::close(fd);
    return os_error(code);
  }
  handle_ = dir;
  return {};
}

base::Status Directory::list(DirectoryListing& listing) {
  listing.clear();
  DIR* dir = static_cast<DIR*>(handle_);
  if (dir == nullptr) return os_error(EBADF);
  for (;;) {
    errno = 0;
    const struct dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) return os_error(errno);
      break;
    }
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    listing.add(name, type_of_entry(*entry));
  }
  listing.sort();
  return {};
}

namespace {

base::Status stat_at(void* handle, std::string_view name, bool follow, struct stat& info) {
  if (handle == nullptr) return os_error(EBADF);
  if (has_nul(name)) return base::texts::kNulInPath;
  const std::string terminated(name);
  const int fd = ::dirfd(static_cast<DIR*>(handle));
  int rc;
  do {
    rc = ::fstatat(fd, terminated.c_str(), &info, follow ? 0 : AT_SYMLINK_NOFOLLOW);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return os_error(errno);
  return {};
}

}  // namespace

base::Result<NodeStatus> Directory::query(std::string_view name, bool follow) const {
  struct stat info;
  TOV_CHECK(stat_at(handle_, name, follow, info));
  return NodeStatus{type_of_mode(info.st_mode), static_cast<std::uint64_t>(info.st_dev),
                    static_cast<std::uint64_t>(info.st_ino)};
}

base::Result<FileMetadata> Directory::metadata(std::string_view name) const {
  struct stat info;
  TOV_CHECK(stat_at(handle_, name, true, info));
  return metadata_of(info);
}

base::Result<NodeStatus> query_node(std::string_view path, bool follow) {
  if (has_nul(path)) return base::texts::kNulInPath;
  const std::string terminated(path);
  struct stat info;
  int rc;
  do {
    rc = follow ? ::stat(terminated.c_str(), &info) : ::lstat(terminated.c_str(), &info);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return os_error(errno);
  return NodeStatus{type_of_mode(info.st_mode), static_cast<std::uint64_t>(info.st_dev),
                    static_cast<std::uint64_t>(info.st_ino)};
}

bool is_not_directory(const base::Error& error) noexcept {
  return error.system_code() == ENOTDIR || error.system_code() == ELOOP;
}

bool is_missing(const base::Error& error) noexcept {
  return error.system_code() == ENOENT;
}

bool is_link_loop(const base::Error& error) noexcept {
  return error.system_code() == ELOOP;
}

}  // namespace tov::platform
