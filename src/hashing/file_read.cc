#include "hashing/file_read.h"

#include <cstring>
#include <limits>

#include "platform/memory.h"
#include "platform/platform.h"

namespace tov::hashing {

IoError IoError::from_file_error(const platform::FileError& error) {
  return error.is_nul_in_path() ? nul_in_path() : from_os(error.os_code());
}

std::string IoError::description() const {
  switch (kind_) {
    case Kind::kOs:
      return platform::os_error_description(code_);
    case Kind::kNulInPath:
      return "strings passed to WinAPI cannot contain NULs";
    case Kind::kOutOfMemory:
      return "out of memory";
    case Kind::kBackgroundTaskFailed:
      break;
  }
  return "background task failed";
}

// Owns the growing block while it is filled and hands it over as FileContents.
class ContentsBuilder {
 public:
  bool reserve(std::uint64_t bytes) {
    if (bytes > std::numeric_limits<std::size_t>::max()) return false;
    return resize_block(static_cast<std::size_t>(bytes));
  }

  // At least doubles the room, so a file much longer than reported costs a
  // logarithmic number of copies.
  bool grow(std::size_t at_least) {
    const std::size_t max = std::numeric_limits<std::size_t>::max();
    if (at_least > max - size_) return false;
    const std::size_t needed = size_ + at_least;
    std::size_t target = capacity_ > max / 2 ? max : capacity_ * 2;
    if (target < kMinGrowth) target = kMinGrowth;
    if (target < needed) target = needed;
    return resize_block(target);
  }

  std::uint8_t* free_space() { return contents_.data_.get() + size_; }
  std::size_t free_room() const { return capacity_ - size_; }
  void commit(std::size_t bytes) { size_ += bytes; }

  FileContents finish() {
    contents_.size_ = size_;
    return std::move(contents_);
  }

 private:
  static constexpr std::size_t kMinGrowth = 16 * 1024;

  bool resize_block(std::size_t capacity) {
    if (capacity <= capacity_) return true;
    void* block = platform::reallocate_block(contents_.data_.get(), size_, capacity);
    if (block == nullptr) return false;
    contents_.data_.release();
    contents_.data_.reset(static_cast<std::uint8_t*>(block));
    capacity_ = capacity;
    return true;
  }

  FileContents contents_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

namespace detail {

ReadResult read_to_end(platform::File& file, std::uint64_t reserve) {
  ContentsBuilder builder;
  if (!builder.reserve(reserve)) return IoError::out_of_memory();
  // Once the reserved room is full, a small probe tells end of file apart
  // from a file that grew, without enlarging the block for the common case.
  std::uint8_t probe[4096];
  for (;;) {
    std::size_t got = 0;
    if (builder.free_room() > 0) {
      if (const auto error = file.read(builder.free_space(), builder.free_room(), got);
          error.failed()) {
        return IoError::from_file_error(error);
      }
      if (got == 0) break;
      builder.commit(got);
      continue;
    }
    if (const auto error = file.read(probe, sizeof(probe), got); error.failed()) {
      return IoError::from_file_error(error);
    }
    if (got == 0) break;
    if (!builder.grow(got)) return IoError::out_of_memory();
    std::memcpy(builder.free_space(), probe, got);
    builder.commit(got);
  }
  return builder.finish();
}

}  // namespace detail

ReadResult read_whole_file(std::string_view path) {
  try {
    platform::File file;
    // A plain open, not the batch path's non-blocking one: this read has no
    // regular-file test, so a FIFO is read like any other file, which means
    // waiting for its writer and then for its data up to end of file.
    if (const auto error = file.open_blocking(path); error.failed()) {
      return IoError::from_file_error(error);
    }
    // A failed size query only costs the up-front reservation.
    platform::FileStatus status;
    const std::uint64_t reserve = file.status(status).failed() ? 0 : status.size;
    return detail::read_to_end(file, reserve);
  } catch (const std::bad_alloc&) {
    return IoError::out_of_memory();
  }
}

}  // namespace tov::hashing
