#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/posix/stat_metadata.h"

namespace tov::platform {

using base::Error;
using base::Result;
using base::Status;

namespace {

// The system takes NUL-terminated paths; a NUL inside the text would make it
// open a different, shorter path, so such a path never reaches it.
bool has_nul(std::string_view path) {
  return path.find('\0') != std::string_view::npos;
}

Error last_error() {
  return os_error(errno);
}

FileStatus to_status(const struct stat& info) {
  FileStatus status;
  status.is_regular = S_ISREG(info.st_mode);
  status.size = info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
  status.identity = {static_cast<std::uint64_t>(info.st_dev),
                     static_cast<std::uint64_t>(info.st_ino)};
  status.metadata = metadata_of(info);
  return status;
}

int descriptor(std::intptr_t handle) {
  return static_cast<int>(handle);
}

// Some systems refuse single reads above INT_MAX bytes; a bounded request
// costs nothing on the others.
constexpr std::size_t kMaxReadRequest = std::size_t{1} << 30;

Result<std::intptr_t> open_path(std::string_view path, int flags) {
  if (has_nul(path)) return base::texts::kNulInPath;
  const std::string terminated(path);
  int fd;
  do {
    fd = ::open(terminated.c_str(), flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return last_error();
  return std::intptr_t{fd};
}

}  // namespace

bool is_exhaustion(const Error& error) noexcept {
  const std::int32_t code = error.system_code();
  return code == EMFILE || code == ENFILE || code == ENOMEM;
}

Result<FileStatus> query_path(std::string_view path) {
  if (has_nul(path)) return base::texts::kNulInPath;
  return query_path(std::string(path).c_str());
}

Result<FileStatus> query_path(const char* path) {
  struct stat info;
  if (::stat(path, &info) != 0) return last_error();
  return to_status(info);
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
  Result<std::intptr_t> opened = open_path(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (!opened) return std::move(opened).error();
  handle_ = *opened;
  struct stat info;
  if (::fstat(descriptor(handle_), &info) != 0) {
    Error error = last_error();
    if (status == nullptr) return {};  // reads still work; only the mode is unknown
    (void)close();
    return error;
  }
  // O_NONBLOCK stays: it changes nothing for regular files, and FIFOs and
  // devices keep it so that a read with no data ends instead of waiting
  // forever. Clearing it would cost a system call per file.
  if (status != nullptr) *status = to_status(info);
  return {};
}

Status File::open_blocking(std::string_view path) {
  (void)close();
  Result<std::intptr_t> opened = open_path(path, O_RDONLY | O_CLOEXEC);
  if (!opened) return std::move(opened).error();
  handle_ = *opened;
  return {};
}

Result<FileStatus> File::status() const {
  struct stat info;
  if (::fstat(descriptor(handle_), &info) != 0) return last_error();
  return to_status(info);
}

Result<std::size_t> File::read(void* buffer, std::size_t capacity) {
  const std::size_t request = capacity < kMaxReadRequest ? capacity : kMaxReadRequest;
  ssize_t result;
  do {
    result = ::read(descriptor(handle_), buffer, request);
  } while (result < 0 && errno == EINTR);
  if (result < 0) return last_error();
  return static_cast<std::size_t>(result);
}

Status File::close() {
  if (handle_ == kNoHandle) return {};
  // The descriptor is released even when close reports an error; retrying
  // after EINTR could close a descriptor another thread has just opened.
  const int result = ::close(descriptor(std::exchange(handle_, kNoHandle)));
  if (result != 0 && errno != EINTR) return last_error();
  return {};
}

}  // namespace tov::platform
