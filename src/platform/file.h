// Reading files: the handful of file-system calls the hashing code needs.
// Paths are UTF-8 text; each system turns them into its own form. Relative
// paths resolve against the current directory at the moment of the call.
// Failures come back as base::Error: the system's own error code, or
// texts::kNulInPath for a path refused before any system call because it
// holds a NUL byte (the system would have read it as a shorter path).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/result.h"
#include "platform/file_identity.h"

namespace tov::platform {

// Which file an open or a query reached: the device and the file's number
// on it (on Windows the volume's serial number and the file index). Both 0
// where the system gives no identity.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;

  bool known() const noexcept { return device != 0 || inode != 0; }
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

struct FileStatus {
  std::uint64_t size = 0;
  bool is_regular = false;
  FileIdentity identity;
  // Everything a content cache compares, where the query gives it.
  std::optional<FileMetadata> metadata = std::nullopt;
};

// Whether `error` says the system ran out of descriptors or memory: a
// failure that says nothing about the path it came with, and may pass.
bool is_exhaustion(const base::Error& error) noexcept;

// Metadata of whatever `path` leads to after following symbolic links. A
// broken link, a missing file and an empty path are errors.
base::Result<FileStatus> query_path(std::string_view path);
// The same for a path that is already NUL-terminated.
base::Result<FileStatus> query_path(const char* path);

// An open file, closed when the object goes away. Move-only.
class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens an existing file for reading, closing any file held before. The
  // open never waits for a writer, so naming a FIFO cannot hang the caller;
  // reads of anything but a regular file never block either. With `status`,
  // the metadata of the opened file comes back too (saving a separate query);
  // if it cannot be had, the open fails and nothing stays open.
  base::Status open_for_reading(std::string_view path, FileStatus* status = nullptr);

  // Opens an existing file for reading as a plain open does, for callers
  // that read whatever the path yields to its end: naming a FIFO waits until
  // a writer opens it, and reads wait for data rather than failing. Closes
  // any file held before.
  base::Status open_blocking(std::string_view path);

  bool is_open() const noexcept { return handle_ != kNoHandle; }

  base::Result<FileStatus> status() const;

  // Reads up to `capacity` bytes and returns how many were read: 0 at end of
  // file. Interrupted reads are retried.
  base::Result<std::size_t> read(void* buffer, std::size_t capacity);

  // Closes now and reports the outcome; a no-op for a closed File.
  base::Status close();

 private:
  // The system's handle for the open file (a descriptor on POSIX systems, a
  // HANDLE on Windows) kept as an integer, so that no system header reaches
  // the callers. -1 stands for none on both.
  static constexpr std::intptr_t kNoHandle = -1;
  std::intptr_t handle_ = kNoHandle;
};

}  // namespace tov::platform
