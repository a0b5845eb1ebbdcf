// Listing directories and querying what their entries are, for the tree
// walk. Paths are UTF-8 text (bytes on POSIX systems); a NUL inside one is
// refused (texts::kNulInPath) before any system call.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "platform/file_identity.h"

namespace tov::platform {

enum class EntryType : std::uint8_t {
  kUnknown,  // the listing did not say: query the entry
  kRegular,
  kDirectory,
  kLink,
  kOther,  // devices, FIFOs, sockets
};

// One directory's entries, `.` and `..` left out, sorted by the bytes of
// their names. The storage is kept from one listing to the next.
class DirectoryListing {
 public:
  struct Entry {
    std::uint32_t offset;
    std::uint32_t size;
    EntryType type;
  };

  std::string_view name(const Entry& entry) const {
    return std::string_view(names_).substr(entry.offset, entry.size);
  }
  const std::vector<Entry>& entries() const noexcept { return entries_; }

  void clear() noexcept;
  void add(std::string_view name, EntryType type);
  void sort();

 private:
  std::string names_;
  std::vector<Entry> entries_;
};

// Whether this system lists directories; where it does not, every call
// below fails and callers walk trees some other way.
bool can_list_directories() noexcept;

struct NodeStatus {
  EntryType type = EntryType::kUnknown;  // never kUnknown once queried
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

// An open directory: its entries, and queries of them by name, which spare
// the system a walk down the whole path for each. Closed when the object
// goes away. Move-only.
class Directory {
 public:
  Directory() = default;
  ~Directory();
  Directory(Directory&& other) noexcept;
  Directory& operator=(Directory&& other) noexcept;
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;

  // Opens the directory at `path`, closing any held before. With
  // `no_follow`, a `path` that is a symbolic link itself is not followed:
  // that and a path that is no directory fail with an error for which
  // is_not_directory holds.
  base::Status open(std::string_view path, bool no_follow);
  // Lists the entries into `listing` (cleared first).
  base::Status list(DirectoryListing& listing);
  // Metadata of the entry `name`, following a final symbolic link or not.
  base::Result<NodeStatus> query(std::string_view name, bool follow) const;
  // What a content cache compares of the entry `name`, links followed.
  base::Result<FileMetadata> metadata(std::string_view name) const;

 private:
  void* handle_ = nullptr;  // the system's own (a DIR* on POSIX systems)
};

// Metadata of `path`, following a final symbolic link or not.
base::Result<NodeStatus> query_node(std::string_view path, bool follow);

// What a failed query or listing said, in the system's own terms.
bool is_not_directory(const base::Error& error) noexcept;  // no directory, or a link not followed
bool is_missing(const base::Error& error) noexcept;        // nothing at the path
bool is_link_loop(const base::Error& error) noexcept;      // links that never end

}  // namespace tov::platform
