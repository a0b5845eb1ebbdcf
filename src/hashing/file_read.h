// Whole-file reads for the single-file digest: the file's bytes in one block,
// or the reason they could not be read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "platform/file.h"

namespace tov::hashing {

// A file's bytes in one contiguous block. The memory is not zero-filled
// before the read; every byte in [data(), data() + size()) came from the file.
class FileContents {
 public:
  FileContents() = default;

  const std::uint8_t* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  std::string_view view() const { return {reinterpret_cast<const char*>(data_.get()), size_}; }

 private:
  friend class ContentsBuilder;

  struct Free {
    void operator()(std::uint8_t* block) const { std::free(block); }
  };

  std::unique_ptr<std::uint8_t, Free> data_;
  std::size_t size_ = 0;
};

// An I/O failure: the system's error code or one of the fixed reasons.
class IoError {
 public:
  enum class Kind { kOs, kNulInPath, kOutOfMemory, kBackgroundTaskFailed };

  static IoError from_os(int code) { return IoError(Kind::kOs, code); }
  static IoError nul_in_path() { return IoError(Kind::kNulInPath, 0); }
  static IoError out_of_memory() { return IoError(Kind::kOutOfMemory, 0); }
  static IoError background_task_failed() { return IoError(Kind::kBackgroundTaskFailed, 0); }
  static IoError from_file_error(const platform::FileError& error);

  Kind kind() const { return kind_; }
  // The errno value for Kind::kOs, otherwise 0.
  int os_code() const { return code_; }

  // "No such file or directory (os error 2)" for a system error; the fixed
  // reasons have fixed texts that callers may match, so they never change.
  std::string description() const;

 private:
  IoError(Kind kind, int code) : kind_(kind), code_(code) {}

  Kind kind_;
  int code_;
};

class ReadResult {
 public:
  ReadResult(FileContents contents) : value_(std::move(contents)) {}
  ReadResult(IoError error) : value_(error) {}

  bool ok() const { return std::holds_alternative<FileContents>(value_); }
  // Only when ok().
  FileContents& contents() { return std::get<FileContents>(value_); }
  const FileContents& contents() const { return std::get<FileContents>(value_); }
  // Only when !ok().
  const IoError& error() const { return std::get<IoError>(value_); }

 private:
  std::variant<FileContents, IoError> value_;
};

// Reads the file at `path` from start to end of file. Room for the size the
// system reports is reserved up front; a file that turns out longer (or that
// reports no size, like those under /proc) makes the buffer grow. A path
// holding a NUL byte is refused before any system call. The file is closed on
// every path out. Never throws.
//
// Whatever the path names is read, as a plain open and read would: a FIFO
// blocks until a writer opens it and is read until every writer has closed
// it, so the call may wait indefinitely and belongs on a thread made for
// blocking.
ReadResult read_whole_file(std::string_view path);

namespace detail {
// The read loop of read_whole_file with an explicit first reservation.
ReadResult read_to_end(platform::File& file, std::uint64_t reserve);
}  // namespace detail

}  // namespace tov::hashing
