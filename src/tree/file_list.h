// The tree module's native half: lists of paths found by the walk, hashed a
// list at a time on the shared pool while the walk goes on finding more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "hashing/batch.h"
#include "platform/file.h"

namespace tov::tree {

// Paths copied into one block, so that a list of thousands costs two
// allocations and outlives the strings it was made from.
class PathList {
 public:
  void reserve(std::size_t paths, std::size_t bytes);
  void add(std::string_view path);
  std::size_t size() const noexcept { return ends_.size(); }
  // Views into the block; valid until the next add.
  std::vector<std::string_view> views() const;

 private:
  std::string bytes_;
  std::vector<std::size_t> ends_;
};

// One outcome per path, in list order, and the bytes digested in all.
struct ListReport {
  std::vector<hashing::FileOutcome> outcomes;
  std::uint64_t bytes = 0;
};

// Hashes every path of `paths`, leaving out regular files whose identity is
// in `leave_out`. Only regular files are ever opened for reading. Fails only
// when the system ran out of descriptors or memory even for a file alone.
base::Result<ListReport> hash_list(const PathList& paths,
                                   std::span<const platform::FileIdentity> leave_out);

}  // namespace tov::tree
