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

base::Status list_directory(std::string_view, bool, DirectoryListing& listing) {
  listing.clear();
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
