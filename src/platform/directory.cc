#include "platform/directory.h"

#include <algorithm>

namespace tov::platform {

void DirectoryListing::clear() noexcept {
  names_.clear();
  entries_.clear();
}

void DirectoryListing::add(std::string_view name, EntryType type) {
  entries_.push_back(
      {static_cast<std::uint32_t>(names_.size()), static_cast<std::uint32_t>(name.size()), type});
  names_.append(name);
}

void DirectoryListing::sort() {
  std::sort(entries_.begin(), entries_.end(),
            [this](const Entry& a, const Entry& b) { return name(a) < name(b); });
}

}  // namespace tov::platform
