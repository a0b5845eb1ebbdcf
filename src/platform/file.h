// Reading files: the handful of file-system calls the hashing code needs.
// Paths are UTF-8 text handed to the system unchanged; relative paths resolve
// against the current directory at the moment of the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tov::platform {

// Why a file operation failed: the system's error code, or a path that was
// refused before any system call because it contains a NUL byte (the system
// would have read it as a shorter path).
class FileError {
 public:
  constexpr FileError() = default;
  static constexpr FileError from_os(int code) { return FileError(code, false); }
  static constexpr FileError nul_in_path() { return FileError(0, true); }

  constexpr bool failed() const { return code_ != 0 || nul_in_path_; }
  constexpr bool is_nul_in_path() const { return nul_in_path_; }
  // The errno value; 0 when the path was refused for its NUL byte.
  constexpr int os_code() const { return code_; }

 private:
  constexpr FileError(int code, bool nul_in_path) : code_(code), nul_in_path_(nul_in_path) {}

  int code_ = 0;
  bool nul_in_path_ = false;
};

struct FileStatus {
  std::uint64_t size = 0;
  bool is_regular = false;
};

// Metadata of whatever `path` leads to after following symbolic links. A
// broken link, a missing file and an empty path are errors.
[[nodiscard]] FileError query_path(std::string_view path, FileStatus& status);
// The same for a path that is already NUL-terminated.
[[nodiscard]] FileError query_path(const char* path, FileStatus& status);

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
  [[nodiscard]] FileError open_for_reading(std::string_view path, FileStatus* status = nullptr);

  // Opens an existing file for reading as a plain open() does, for callers
  // that read whatever the path yields to its end: naming a FIFO waits until
  // a writer opens it, and reads wait for data rather than failing with
  // EAGAIN. Closes any file held before.
  [[nodiscard]] FileError open_blocking(std::string_view path);

  bool is_open() const { return fd_ >= 0; }

  [[nodiscard]] FileError status(FileStatus& status) const;

  // Reads up to `capacity` bytes; `bytes_read` is 0 at end of file.
  // Interrupted reads are retried.
  [[nodiscard]] FileError read(void* buffer, std::size_t capacity, std::size_t& bytes_read);

  // Closes now and reports the outcome; a no-op for a closed File.
  FileError close();

 private:
  std::intptr_t fd_ = -1;  // a descriptor, or a HANDLE on Windows
};

}  // namespace tov::platform
