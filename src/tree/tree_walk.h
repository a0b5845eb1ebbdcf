// A directory tree walked and hashed in one pass: the walk runs on the
// calling thread and hands its files, a list at a time, to threads that hash
// them on the shared pool while the walk goes on. The result comes back
// sorted by the bytes of each path.
//
// What the walk takes and leaves: a link to a file counts as that file; a
// link to a directory is entered only with `follow`, and then never into a
// directory that is already being walked (a loop). Directories named `.git`
// and `node_modules` are passed over unless `all` is set. Everything else
// that is left out is reported: by design (links not followed, broken links,
// link loops, FIFOs, sockets, devices) or because it could not be read.
// Below the root a directory is listed only if it is still a directory, not
// a link put in its place, when it is opened (unless links are followed).
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "hashing/digest.h"
#include "platform/file.h"

namespace tov::tree {

// A content cache's entries from an earlier run: a file whose metadata
// record (cache/identity_batch.h) is still the same is not read again.
struct KnownFiles {
  std::string_view names;                 // paths below the root, joined by NULs
  std::span<const std::uint8_t> records;  // cache::kRecordSize bytes per entry
  std::span<const std::uint8_t> digests;  // 32 bytes per entry
  std::size_t count = 0;
  // The file system's clock when the walk began (ns). A file read now is
  // kept for the next run only if its times lie a whole step of their
  // granularity before it: a write in the same tick could leave them as
  // they are. Without a clock nothing new is kept.
  std::optional<std::int64_t> probe_ns;
};

// The entries for the next run: the manifest's files that were answered
// from the cache or read safely, in the manifest's order.
struct CacheEntries {
  std::string names;  // paths below the root, each followed by a NUL
  std::string records;
  std::string digests;
  std::size_t count = 0;
  std::size_t reused = 0;  // files answered from the cache
  bool unchanged = false;  // the entries are the known ones as they were
};

// Whether an entry read after `probe_ns` may be kept (see KnownFiles).
bool trusted_record(const std::uint8_t* record, std::int64_t probe_ns);

struct WalkOptions {
  bool all = false;
  bool follow = false;
  // Regular files with these identities are neither read nor listed.
  std::span<const platform::FileIdentity> leave_out;
  // With a trailer, the manifest comes as `text` rather than as paths and
  // digests: a line per file as sha256sum prints it, "hexdigest  path\n",
  // where a path holding a backslash, line feed or carriage return has those
  // escaped (\\, \n, \r) and its line starts with a backslash; then the
  // trailer, the root's hex digest and a line feed.
  std::optional<std::string_view> text_trailer;
  // With known files, each file's metadata is taken before it would be
  // read, and the result carries the entries for the next run.
  const KnownFiles* known = nullptr;
};

// What another thread may read while the walk runs, and the flag that stops
// it early.
struct WalkProgress {
  std::atomic<std::uint64_t> found{0};
  std::atomic<std::uint64_t> hashed{0};
  std::atomic<std::uint64_t> bytes{0};
  std::atomic<bool> walking{true};
  std::atomic<bool> cancelled{false};
};

struct Skip {
  std::string path;
  std::string reason;
  bool failed = false;  // could not be read, as against left out by design
};

struct TreeManifest {
  // Set when the root itself could not be listed; everything else is empty.
  std::optional<base::Error> root_error;
  // Each file's path followed by a NUL, in byte order, and its digest.
  std::string paths;
  std::vector<hashing::Digest> digests;
  std::string text;         // instead, with WalkOptions::text_trailer
  std::uint64_t count = 0;  // files in the manifest
  // What the walk left out, in the order it was met, then the files that
  // failed to hash, in path order.
  std::vector<Skip> skipped;
  std::size_t walk_skips = 0;  // how many of `skipped` the walk itself noted
  std::uint64_t found = 0;     // files handed to the hashers
  CacheEntries cache;          // with WalkOptions::known
  // The digest of the manifest's lines "path:hexdigest" joined by '\n'.
  hashing::Digest root{};
  std::uint64_t bytes = 0;
};

// Walks the directory `root` and hashes its files. Paths in the result are
// `display` joined with each file's path below the root by '/' (just that
// path when `display` is empty). Fails only when cancelled or when the
// system ran out of descriptors or memory even for one file alone. May
// throw std::bad_alloc.
base::Result<TreeManifest> hash_tree(std::string_view root, std::string_view display,
                                     const WalkOptions& options, WalkProgress& progress);

// What hash_listed found for each path, by its position in the list.
struct ListedOutcomes {
  std::vector<hashing::Digest> digests;  // valid where `hashed` is set
  std::vector<bool> hashed;
  std::vector<std::pair<std::size_t, std::string>> failures;  // position, reason
};

// The files of `paths` hashed as hash_tree hashes the files of a walk, a
// list at a time on threads of their own, counting on `progress` (`found`
// is set to the whole count at once). Fails as hash_tree does.
base::Result<ListedOutcomes> hash_listed(std::span<const std::string_view> paths,
                                         WalkProgress& progress);

// `base` and `name` joined by '/', as the walk names its paths.
std::string join_path(std::string_view base, std::string_view name);

}  // namespace tov::tree
