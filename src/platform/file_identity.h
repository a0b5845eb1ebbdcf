// What tells one state of a file from another without reading it: the keys a
// content cache compares before it trusts a digest it kept. Times are
// nanoseconds since 1970 at whatever finer or coarser step the file system
// keeps them; the identity is the pair of device and file number (on Windows
// the volume serial number and the file index).
#pragma once

#include <cstdint>
#include <string_view>

#include "base/result.h"

namespace tov::platform {

enum class FileKind : std::uint8_t {
  kRegular = 1,
  kDirectory = 2,
  kOther = 3,  // devices, FIFOs, sockets, and anything a system adds
};

struct FileMetadata {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modified_ns = 0;
  // When the metadata last changed (POSIX st_ctime; Windows' ChangeTime). A
  // write whose modification time was set back afterwards still moves it.
  std::int64_t changed_ns = 0;
  FileKind kind = FileKind::kOther;
};

// The identity of whatever `path` leads to after following symbolic links.
// Paths are UTF-8; a NUL inside one is refused (texts::kNulInPath).
base::Result<FileMetadata> query_identity(std::string_view path);

}  // namespace tov::platform
