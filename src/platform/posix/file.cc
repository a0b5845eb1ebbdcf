#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

namespace tov::platform {

namespace {

// The system takes NUL-terminated paths; a NUL inside the text would make it
// open a different, shorter path, so such a path never reaches it.
bool has_nul(std::string_view path) {
  return path.find('\0') != std::string_view::npos;
}

FileStatus to_status(const struct stat& info) {
  FileStatus status;
  status.is_regular = S_ISREG(info.st_mode);
  status.size = info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
  return status;
}

// Some systems refuse single reads above INT_MAX bytes; a bounded request
// costs nothing on the others.
constexpr std::size_t kMaxReadRequest = std::size_t{1} << 30;

}  // namespace

FileError query_path(std::string_view path, FileStatus& status) {
  if (has_nul(path)) return FileError::nul_in_path();
  return query_path(std::string(path).c_str(), status);
}

FileError query_path(const char* path, FileStatus& status) {
  struct stat info;
  if (::stat(path, &info) != 0) return FileError::from_os(errno);
  status = to_status(info);
  return {};
}

File::~File() {
  close();
}

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

FileError File::open_for_reading(std::string_view path, FileStatus* status) {
  close();
  if (has_nul(path)) return FileError::nul_in_path();
  const std::string terminated(path);
  int fd;
  do {
    fd = ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return FileError::from_os(errno);
  fd_ = fd;
  struct stat info;
  if (::fstat(fd_, &info) != 0) {
    const int code = errno;
    if (status == nullptr) return {};  // reads still work; only the mode is unknown
    close();
    return FileError::from_os(code);
  }
  // O_NONBLOCK stays: it changes nothing for regular files, and FIFOs and
  // devices keep it so that a read with no data ends instead of waiting
  // forever. Clearing it would cost a system call per file.
  if (status != nullptr) *status = to_status(info);
  return {};
}

FileError File::open_blocking(std::string_view path) {
  close();
  if (has_nul(path)) return FileError::nul_in_path();
  const std::string terminated(path);
  int fd;
  do {
    fd = ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return FileError::from_os(errno);
  fd_ = fd;
  return {};
}

FileError File::status(FileStatus& status) const {
  struct stat info;
  if (::fstat(fd_, &info) != 0) return FileError::from_os(errno);
  status = to_status(info);
  return {};
}

FileError File::read(void* buffer, std::size_t capacity, std::size_t& bytes_read) {
  bytes_read = 0;
  const std::size_t request = capacity < kMaxReadRequest ? capacity : kMaxReadRequest;
  ssize_t result;
  do {
    result = ::read(fd_, buffer, request);
  } while (result < 0 && errno == EINTR);
  if (result < 0) return FileError::from_os(errno);
  bytes_read = static_cast<std::size_t>(result);
  return {};
}

FileError File::close() {
  if (fd_ < 0) return {};
  // The descriptor is released even when close reports an error; retrying
  // after EINTR could close a descriptor another thread has just opened.
  const int result = ::close(std::exchange(fd_, -1));
  if (result != 0 && errno != EINTR) return FileError::from_os(errno);
  return {};
}

}  // namespace tov::platform
