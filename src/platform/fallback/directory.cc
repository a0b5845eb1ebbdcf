// Systems whose directories are not listed natively yet: trees are walked
// by the JavaScript side instead.
#include "platform/directory.h"

namespace tov::platform {

namespace {
constexpr base::FixedText kNoListing = "directory listing is not available on this system";
}

bool can_list_directories() noexcept {
  return false;
}

Directory::~Directory() = default;
Directory::Directory(Directory&& other) noexcept : handle_(other.handle_) {}
Directory& Directory::operator=(Directory&& other) noexcept {
  handle_ = other.handle_;
  return *this;
}

base::Status Directory::open(std::string_view, bool) {
  return kNoListing;
}

base::Status Directory::list(DirectoryListing& listing) {
  listing.clear();
  return kNoListing;
}

base::Result<NodeStatus> Directory::query(std::string_view, bool) const {
  return kNoListing;
}

base::Result<FileMetadata> Directory::metadata(std::string_view) const {
  return kNoListing;
}

base::Result<NodeStatus> query_node(std::string_view, bool) {
  return kNoListing;
}

bool is_not_directory(const base::Error&) noexcept {
  return false;
}

bool is_missing(const base::Error&) noexcept {
  return false;
}

bool is_link_loop(const base::Error&) noexcept {
  return false;
}

}  // namespace tov::platform
