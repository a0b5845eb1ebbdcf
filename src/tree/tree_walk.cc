#include "tree/tree_walk.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "base/texts.h"
#include "hashing/batch.h"
#include "platform/directory.h"
#include "tree/file_list.h"

namespace tov::tree {

namespace {

using platform::EntryType;

constexpr base::FixedText kCancelled = "cancelled";
constexpr base::FixedText kChanged = "changed while the tree was walked";
constexpr base::FixedText kBrokenLink = "broken symbolic link";
constexpr base::FixedText kLinkLoop = "symbolic link loop";
constexpr base::FixedText kLinkNotFollowed = "symbolic link to a directory, not followed";
constexpr base::FixedText kNotRegular = "not a regular file";

// A list per hashing call: long enough that the per-call cost vanishes. The
// first lists are short, so hashing starts within the first directory, and
// a shorter one goes early whenever the hashers have nothing else to do.
constexpr std::size_t kFirstList = 128;
constexpr std::size_t kList = 2048;
constexpr std::size_t kEarlyList = 32;
// Lists waiting to be hashed: enough to cover the end of each list, and a
// bound on the paths held. Two hashers keep the pool busy across list ends.
constexpr std::size_t kQueued = 4;
constexpr std::size_t kHashers = 2;

enum class Kind : std::uint8_t { kHashed, kFailed, kLeftOut };

// One list's outcomes, written by the hasher that took it.
struct ListResult {
  std::size_t first = 0;
  std::vector<hashing::Digest> digests;
  std::vector<Kind> kinds;
  std::vector<std::pair<std::size_t, std::string>> failures;  // index in list, reason
};

struct QueuedList {
  PathList paths;
  ListResult* result;
};

// The lists on their way from the walk to the hashers. The destructor stops
// and joins the hashers, so that no thread outlives the walk's data.
class Hashers {
 public:
  Hashers(std::span<const platform::FileIdentity> leave_out, WalkProgress& progress)
      : leave_out_(leave_out), progress_(progress) {
    for (std::size_t i = 0; i < kHashers; ++i) {
      try {
        threads_.emplace_back([this] { run(); });
      } catch (const std::system_error&) {
        break;  // fewer hashers; with none, lists are hashed on the walk's thread
      }
    }
  }
  ~Hashers() { static_cast<void>(close()); }
  Hashers(const Hashers&) = delete;
  Hashers& operator=(const Hashers&) = delete;

  void push(QueuedList list) {
    if (threads_.empty()) {
      hash(list);
      return;
    }
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return queue_.size() < kQueued || stop_; });
    if (stop_) return;
    queue_.push_back(std::move(list));
    work_.notify_one();
  }

  // Whether a hasher waits for work (the walk may hand over a short list).
  bool idle() {
    std::lock_guard lock(mutex_);
    return queue_.empty() && waiting_ > 0;
  }

  // Waits for every list to be hashed; the first failure, if any.
  base::Status close() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
      work_.notify_all();
    }
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
    std::lock_guard lock(mutex_);
    if (error_) return *error_;
    return {};
  }

 private:
  void run() {
    for (;;) {
      std::unique_lock lock(mutex_);
      ++waiting_;
      work_.wait(lock, [&] { return !queue_.empty() || closed_ || stop_; });
      --waiting_;
      if (stop_ || queue_.empty()) return;
      QueuedList list = std::move(queue_.front());
      queue_.pop_front();
      room_.notify_one();
      lock.unlock();
      hash(list);
    }
  }

  void fail(base::Error error) {
    std::lock_guard lock(mutex_);
    if (!error_) error_ = std::move(error);
    stop_ = true;
    progress_.cancelled.store(true);
    work_.notify_all();
    room_.notify_all();
  }

  void hash(QueuedList& list) {
    if (progress_.cancelled.load(std::memory_order_relaxed)) return fail(kCancelled);
    try {
      const std::vector<std::string_view> views = list.paths.views();
      base::Result<std::vector<hashing::FileOutcome>> outcomes =
          hashing::hash_each_file(views, leave_out_);
      if (!outcomes) return fail(std::move(outcomes).error());
      ListResult& result = *list.result;
      result.digests.resize(outcomes->size());
      result.kinds.resize(outcomes->size());
      std::uint64_t bytes = 0;
      for (std::size_t i = 0; i < outcomes->size(); ++i) {
        hashing::FileOutcome& outcome = (*outcomes)[i];
        switch (outcome.kind) {
          case hashing::FileOutcome::Kind::kHashed:
            result.kinds[i] = Kind::kHashed;
            result.digests[i] = outcome.digest;
            bytes += outcome.bytes;
            break;
          case hashing::FileOutcome::Kind::kLeftOut:
            result.kinds[i] = Kind::kLeftOut;
            break;
          case hashing::FileOutcome::Kind::kFailed:
            result.kinds[i] = Kind::kFailed;
            result.failures.emplace_back(
                i, outcome.reason ? outcome.reason->description() : std::string(kNotRegular.view()));
            break;
        }
      }
      progress_.bytes.fetch_add(bytes, std::memory_order_relaxed);
      progress_.hashed.fetch_add(outcomes->size(), std::memory_order_relaxed);
    } catch (const std::bad_alloc&) {
      fail(base::texts::kOutOfMemory);
    }
  }

  std::span<const platform::FileIdentity> leave_out_;
  WalkProgress& progress_;
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable room_;
  std::deque<QueuedList> queue_;
  std::size_t waiting_ = 0;
  bool closed_ = false;
  bool stop_ = false;
  std::optional<base::Error> error_;
  std::vector<std::thread> threads_;
};

// A directory still to be listed. `chain` is its place in the chain of
// directories that led to it, for finding loops when links are followed.
struct Pending {
  std::string rel;
  std::size_t chain;
  bool root;
};

struct ChainLink {
  platform::NodeStatus node;
  std::size_t parent;
};

constexpr std::size_t kNoLink = static_cast<std::size_t>(-1);

// A manifest line as WalkOptions::text_trailer describes it.
void append_line(std::string& text, std::string_view path, const char* hex) {
  const bool escaped = path.find_first_of("\\\n\r") != std::string_view::npos;
  if (escaped) text.push_back('\\');
  text.append(hex, hashing::kHexDigestSize).append("  ");
  if (!escaped) {
    text.append(path);
  } else {
    for (const char c : path) {
      if (c == '\\') {
        text.append("\\\\");
      } else if (c == '\n') {
        text.append("\\n");
      } else if (c == '\r') {
        text.append("\\r");
      } else {
        text.push_back(c);
      }
    }
  }
  text.push_back('\n');
}

class Walk {
 public:
  Walk(std::string_view root, std::string_view display, const WalkOptions& options,
       WalkProgress& progress)
      : root_(root), display_(display), options_(options), progress_(progress) {}

  base::Result<TreeManifest> run() {
    TreeManifest manifest;
    std::size_t root_link = kNoLink;
    if (options_.follow) {
      base::Result<platform::NodeStatus> node = platform::query_node(root_, true);
      if (!node) {
        manifest.root_error = std::move(node).error();
        return manifest;
      }
      chain_.push_back({*node, kNoLink});
      root_link = 0;
    }
    std::vector<Pending> stack;
    stack.push_back({std::string(), root_link, true});
    {
      Hashers hashers(options_.leave_out, progress_);
      hashers_ = &hashers;
      while (!stack.empty()) {
        if (progress_.cancelled.load(std::memory_order_relaxed)) break;
        Pending dir = std::move(stack.back());
        stack.pop_back();
        const std::string fs_dir = join_path(root_, dir.rel);
        base::Status listed = platform::list_directory(
            fs_dir, !dir.root && !options_.follow, listing_);
        if (!listed) {
          if (dir.root) {
            manifest.root_error = std::move(listed).error();
            return manifest;
          }
          const base::Error& error = listed.error();
          skip(dir.rel, !options_.follow && platform::is_not_directory(error)
                            ? std::string(kChanged.view())
                            : error.description(),
               true);
          continue;
        }
        const std::size_t first_subdir = subdirs_.size();
        visit_entries(dir, fs_dir);
        // Reversed, so that the stack gives them back in name order.
        for (std::size_t i = subdirs_.size(); i > first_subdir; --i) {
          stack.push_back(std::move(subdirs_[i - 1]));
        }
        subdirs_.resize(first_subdir);
      }
      hand_over();
      progress_.walking.store(false);
      base::Status hashed = hashers.close();
      hashers_ = nullptr;
      if (!hashed) return std::move(hashed).error();
    }
    if (progress_.cancelled.load()) return base::Error(kCancelled);
    assemble(manifest);
    return manifest;
  }

 private:
  void visit_entries(const Pending& dir, const std::string& fs_dir) {
    for (const platform::DirectoryListing::Entry& entry : listing_.entries()) {
      const std::string_view name = listing_.name(entry);
      if (!options_.all && (name == ".git" || name == "node_modules")) continue;
      const std::string rel = join_path(dir.rel, name);
      const std::string fs_path = join_path(fs_dir, name);
      EntryType type = entry.type;
      std::optional<platform::NodeStatus> target;
      if (type == EntryType::kUnknown) {
        base::Result<platform::NodeStatus> node = platform::query_node(fs_path, false);
        if (!node) {
          entry_failed(rel, node.error(), false);
          continue;
        }
        type = node->type;
      }
      if (type == EntryType::kLink || (options_.follow && type == EntryType::kDirectory)) {
        base::Result<platform::NodeStatus> node = platform::query_node(fs_path, true);
        if (!node) {
          entry_failed(rel, node.error(), type == EntryType::kLink);
          continue;
        }
        target = *node;
      }
      const EntryType resolved = type == EntryType::kLink ? target->type : type;
      const bool as_dir =
          resolved == EntryType::kDirectory && (type == EntryType::kDirectory || options_.follow);
      if (resolved == EntryType::kRegular) {
        add_file(rel, fs_path);
      } else if (as_dir) {
        // Only directories reached through a query have an identity to
        // compare; the others cannot close a loop.
        std::size_t link = dir.chain;
        if (target) {
          if (in_chain(dir.chain, *target)) {
            skip(rel, std::string(kLinkLoop.view()), false);
            continue;
          }
          chain_.push_back({*target, dir.chain});
          link = chain_.size() - 1;
        }
        subdirs_.push_back({rel, link, false});
      } else if (resolved == EntryType::kDirectory) {
        skip(rel, std::string(kLinkNotFollowed.view()), false);
      } else {
        skip(rel, std::string(kNotRegular.view()), false);
      }
    }
  }

  void entry_failed(const std::string& rel, const base::Error& error, bool was_link) {
    if (was_link && platform::is_missing(error)) {
      skip(rel, std::string(kBrokenLink.view()), false);
    } else if (platform::is_link_loop(error)) {
      skip(rel, std::string(kLinkLoop.view()), false);
    } else {
      skip(rel, error.description(), true);
    }
  }

  bool in_chain(std::size_t link, const platform::NodeStatus& node) const {
    for (; link != kNoLink; link = chain_[link].parent) {
      const ChainLink& at = chain_[link];
      if (at.node.device == node.device && at.node.inode == node.inode) return true;
    }
    return false;
  }

  void skip(std::string_view rel, std::string reason, bool failed) {
    skipped_.push_back({join_path(display_, rel), std::move(reason), failed});
  }

  void add_file(const std::string& rel, const std::string& fs_path) {
    rel_bytes_.append(rel);
    rel_ends_.push_back(rel_bytes_.size());
    list_.add(fs_path);
    progress_.found.fetch_add(1, std::memory_order_relaxed);
    const std::size_t full = results_.size() < kList / kFirstList ? kFirstList : kList;
    if (list_.size() >= full || (list_.size() >= kEarlyList && hashers_->idle())) hand_over();
  }

  void hand_over() {
    if (list_.size() == 0) return;
    auto result = std::make_unique<ListResult>();
    result->first = rel_ends_.size() - list_.size();
    ListResult* raw = result.get();
    results_.push_back(std::move(result));
    hashers_->push({std::move(list_), raw});
    list_ = PathList();
  }

  // The outcome of file `index` (in walk order): its list and place in it.
  std::pair<const ListResult*, std::size_t> outcome_of(std::size_t index) const {
    auto after = std::upper_bound(results_.begin(), results_.end(), index,
                                  [](std::size_t i, const std::unique_ptr<ListResult>& list) {
                                    return i < list->first;
                                  });
    const ListResult* list = std::prev(after)->get();
    return {list, index - list->first};
  }

  void assemble(TreeManifest& manifest) {
    const std::size_t count = rel_ends_.size();
    std::vector<std::string_view> rels(count);
    for (std::size_t i = 0, start = 0; i < count; start = rel_ends_[i], ++i) {
      rels[i] = std::string_view(rel_bytes_).substr(start, rel_ends_[i] - start);
    }
    std::vector<std::uint32_t> order(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = static_cast<std::uint32_t>(i);
    std::sort(order.begin(), order.end(),
              [&](std::uint32_t a, std::uint32_t b) { return rels[a] < rels[b]; });

    manifest.skipped = std::move(skipped_);
    manifest.walk_skips = manifest.skipped.size();
    manifest.found = count;
    const bool as_text = options_.text_trailer.has_value();
    const std::size_t path_bytes = rel_bytes_.size() + count * (display_.size() + 2);
    if (as_text) {
      manifest.text.reserve(path_bytes + count * (hashing::kHexDigestSize + 3) + 128);
    } else {
      manifest.digests.reserve(count);
      manifest.paths.reserve(path_bytes);
    }
    hashing::Sha256 root;
    std::string line;
    char hex[hashing::kHexDigestSize];
    for (const std::uint32_t index : order) {
      const auto [list, at] = outcome_of(index);
      const std::string path = join_path(display_, rels[index]);
      if (list->kinds[at] == Kind::kFailed) {
        for (const auto& [failed_at, reason] : list->failures) {
          if (failed_at == at) manifest.skipped.push_back({path, reason, true});
        }
        continue;
      }
      if (list->kinds[at] != Kind::kHashed) continue;
      const hashing::Digest& digest = list->digests[at];
      hashing::to_hex(digest, hex);
      line.clear();
      if (manifest.count > 0) line.push_back('\n');
      line.append(path).push_back(':');
      line.append(hex, sizeof hex);
      root.update(line);
      ++manifest.count;
      if (as_text) {
        append_line(manifest.text, path, hex);
      } else {
        manifest.paths.append(path).push_back('\0');
        manifest.digests.push_back(digest);
      }
    }
    manifest.root = root.finish();
    if (as_text) {
      manifest.text.append(*options_.text_trailer).append(hashing::to_hex(manifest.root));
      manifest.text.push_back('\n');
    }
    manifest.bytes = progress_.bytes.load();
  }

  std::string root_;
  std::string display_;
  const WalkOptions& options_;
  WalkProgress& progress_;
  Hashers* hashers_ = nullptr;
  platform::DirectoryListing listing_;
  std::vector<Pending> subdirs_;
  std::vector<ChainLink> chain_;
  std::vector<Skip> skipped_;
  // Every file found, by its path below the root, in walk order.
  std::string rel_bytes_;
  std::vector<std::size_t> rel_ends_;
  PathList list_;
  std::vector<std::unique_ptr<ListResult>> results_;
};

}  // namespace

std::string join_path(std::string_view base, std::string_view name) {
  std::string joined;
  if (base.empty()) {
    joined = name;
    return joined;
  }
  joined.reserve(base.size() + 1 + name.size());
  joined.append(base);
  if (!name.empty()) {
    if (joined.back() != '/') joined.push_back('/');
    joined.append(name);
  }
  return joined;
}

base::Result<ListedOutcomes> hash_listed(std::span<const std::string_view> paths,
                                         WalkProgress& progress) {
  progress.found.store(paths.size());
  progress.walking.store(false);
  std::vector<std::unique_ptr<ListResult>> results;
  {
    Hashers hashers({}, progress);
    for (std::size_t first = 0; first < paths.size(); first += kList) {
      if (progress.cancelled.load(std::memory_order_relaxed)) break;
      QueuedList list;
      const std::size_t count = std::min(kList, paths.size() - first);
      for (std::size_t i = first; i < first + count; ++i) list.paths.add(paths[i]);
      results.push_back(std::make_unique<ListResult>());
      results.back()->first = first;
      list.result = results.back().get();
      hashers.push(std::move(list));
    }
    base::Status hashed = hashers.close();
    if (!hashed) return std::move(hashed).error();
  }
  if (progress.cancelled.load()) return base::Error(kCancelled);
  ListedOutcomes outcomes;
  outcomes.digests.resize(paths.size());
  outcomes.hashed.resize(paths.size());
  for (const std::unique_ptr<ListResult>& list : results) {
    for (std::size_t i = 0; i < list->kinds.size(); ++i) {
      if (list->kinds[i] != Kind::kHashed) continue;
      outcomes.digests[list->first + i] = list->digests[i];
      outcomes.hashed[list->first + i] = true;
    }
    for (auto& [at, reason] : list->failures) {
      outcomes.failures.emplace_back(list->first + at, std::move(reason));
    }
  }
  return outcomes;
}

base::Result<TreeManifest> hash_tree(std::string_view root, std::string_view display,
                                     const WalkOptions& options, WalkProgress& progress) {
  Walk walk(root, display, options, progress);
  return walk.run();
}

}  // namespace tov::tree
