#include "tree/file_list.h"

#include <utility>

namespace tov::tree {

void PathList::reserve(std::size_t paths, std::size_t bytes) {
  ends_.reserve(paths);
  bytes_.reserve(bytes);
}

void PathList::add(std::string_view path) {
  bytes_.append(path);
  ends_.push_back(bytes_.size());
}

std::vector<std::string_view> PathList::views() const {
  std::vector<std::string_view> views;
  views.reserve(ends_.size());
  std::size_t start = 0;
  for (const std::size_t end : ends_) {
    views.emplace_back(bytes_.data() + start, end - start);
    start = end;
  }
  return views;
}

base::Result<ListReport> hash_list(const PathList& paths,
                                   std::span<const platform::FileIdentity> leave_out) {
  const std::vector<std::string_view> views = paths.views();
  base::Result<std::vector<hashing::FileOutcome>> outcomes =
      hashing::hash_each_file(views, leave_out);
  if (!outcomes) return std::move(outcomes).error();
  ListReport report{std::move(*outcomes), 0};
  for (const hashing::FileOutcome& outcome : report.outcomes) report.bytes += outcome.bytes;
  return report;
}

}  // namespace tov::tree
