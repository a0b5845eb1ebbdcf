#include "tree/tree_walk.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

#include "base/texts.h"
#include "cache/identity_batch.h"
#include "hashing/batch.h"
#include "platform/directory.h"
#include "platform/file_identity.h"
#include "runtime/pool.h"
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

// A file's metadata as a content cache keeps it.
using Record = std::array<std::uint8_t, cache::kRecordSize>;

// One list's outcomes, written by the hasher that took it.
struct ListResult {
  std::vector<std::size_t> indexes;  // of each file in the walk
  std::vector<hashing::Digest> digests;
  std::vector<Kind> kinds;
  std::vector<std::pair<std::size_t, std::string>> failures;  // index in list, reason
  // With a cache: each file's record from the walk's query (empty: none was
  // taken), whether the file may be kept for the next run, and with what.
  std::vector<std::string> before;
  std::vector<bool> keep;
  std::vector<Record> records;
};

struct QueuedList {
  PathList paths;
  ListResult* result;
};

std::optional<Record> record_from(const base::Result<platform::FileMetadata>& metadata) {
  if (!metadata || metadata->kind != platform::FileKind::kRegular) return std::nullopt;
  Record record;
  cache::encode_record(*metadata, record.data());
  return record;
}

std::optional<Record> record_of(std::string_view path) {
  return record_from(platform::query_identity(path));
}

// The record of what the read's own query or open saw, where it gave the
// metadata; else a query of the path now.
std::optional<Record> record_seen(const platform::FileStatus& status, std::string_view path) {
  return status.metadata ? record_from(*status.metadata) : record_of(path);
}

std::uint64_t get64(const std::uint8_t* at) {
  std::uint64_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// The lists on their way from the walk to the hashers. The destructor stops
// and joins the hashers, so that no thread outlives the walk's data.
class Hashers {
 public:
  Hashers(std::span<const platform::FileIdentity> leave_out, WalkProgress& progress,
          const KnownFiles* known = nullptr)
      : leave_out_(leave_out), progress_(progress), known_(known) {
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
            result.failures.emplace_back(i, outcome.reason ? outcome.reason->description()
                                                           : std::string(kNotRegular.view()));
            break;
        }
      }
      if (known_ != nullptr) judge(views, *outcomes, result);
      progress_.bytes.fetch_add(bytes, std::memory_order_relaxed);
      progress_.hashed.fetch_add(outcomes->size(), std::memory_order_relaxed);
    } catch (const std::bad_alloc&) {
      fail(base::texts::kOutOfMemory);
    }
  }

  // A file read is kept for the next run by the metadata its read's own
  // query took just before the read, when that is old enough to be
  // trusted: the clock was read before the walk began, so a write at any
  // time since, during the read too, moves the change time past what was
  // kept, and the next run reads the file again. Where the walk queried the
  // file before (to ask the cache), that query must agree.
  void judge(const std::vector<std::string_view>& views,
             const std::vector<hashing::FileOutcome>& outcomes, ListResult& result) {
    result.keep.assign(views.size(), false);
    if (!known_->probe_ns) return;
    result.records.resize(views.size());
    for (std::size_t i = 0; i < views.size(); ++i) {
      if (result.kinds[i] != Kind::kHashed) continue;
      const std::string& before = result.before[i];
      const std::optional<Record> seen = record_seen(outcomes[i].status, views[i]);
      const bool keep =
          seen && (before.empty() || std::memcmp(seen->data(), before.data(), seen->size()) == 0) &&
          trusted_record(seen->data(), *known_->probe_ns);
      if (keep) result.records[i] = *seen;
      result.keep[i] = keep;
    }
  }

  std::span<const platform::FileIdentity> leave_out_;
  WalkProgress& progress_;
  const KnownFiles* known_;
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

struct Probe {
  std::size_t index;  // in the walk
  std::string name;
  std::string fs_path;
  std::string rel;
};

// One directory's files to probe, with the directory kept open for them.
struct ProbeBatch {
  std::shared_ptr<platform::Directory> directory;
  std::vector<Probe> files;
};

// The thread that probes a cached walk's files while the walk lists on; a
// bound on the batches waiting keeps the directories held open few. Does
// nothing without a cache. close() (or the destructor) lets the batches
// queued run, then joins.
class Prober {
 public:
  using Body = std::function<void(const ProbeBatch&)>;

  Prober(bool wanted, WalkProgress& progress, Body body)
      : progress_(progress), body_(std::move(body)) {
    if (!wanted) return;
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      // Without a thread of its own, each batch is probed as it comes.
    }
  }
  ~Prober() { close(); }
  Prober(const Prober&) = delete;
  Prober& operator=(const Prober&) = delete;

  void push(ProbeBatch batch) {
    if (!thread_.joinable()) {
      run_one(batch);
      return;
    }
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return queue_.size() < kMaxBatches; });
    queue_.push_back(std::move(batch));
    work_.notify_one();
  }

  bool out_of_memory() const noexcept { return out_of_memory_.load(); }

  void close() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
      work_.notify_all();
    }
    thread_.join();
  }

 private:
  static constexpr std::size_t kMaxBatches = 64;

  void run() {
    for (;;) {
      std::unique_lock lock(mutex_);
      work_.wait(lock, [&] { return !queue_.empty() || closed_; });
      if (queue_.empty()) return;
      ProbeBatch batch = std::move(queue_.front());
      queue_.pop_front();
      room_.notify_one();
      lock.unlock();
      run_one(batch);
    }
  }

  void run_one(const ProbeBatch& batch) {
    if (progress_.cancelled.load(std::memory_order_relaxed)) return;
    try {
      body_(batch);
    } catch (const std::bad_alloc&) {
      out_of_memory_.store(true);
      progress_.cancelled.store(true);
    }
  }

  WalkProgress& progress_;
  Body body_;
  std::atomic<bool> out_of_memory_{false};
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable room_;
  std::deque<ProbeBatch> queue_;
  bool closed_ = false;
  std::thread thread_;
};

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
      Hashers hashers(options_.leave_out, progress_, options_.known);
      hashers_ = &hashers;
      Prober prober(options_.known != nullptr, progress_,
                    [this](const ProbeBatch& batch) { probe(batch); });
      prober_ = &prober;
      while (!stack.empty()) {
        if (progress_.cancelled.load(std::memory_order_relaxed)) break;
        Pending dir = std::move(stack.back());
        stack.pop_back();
        const std::string fs_dir = join_path(root_, dir.rel);
        auto directory = std::make_shared<platform::Directory>();
        base::Status listed = directory->open(fs_dir, !dir.root && !options_.follow);
        if (listed) listed = directory->list(listing_);
        if (!listed) {
          if (dir.root) {
            manifest.root_error = std::move(listed).error();
            prober.close();
            return manifest;
          }
          const base::Error& error = listed.error();
          skip(dir.rel,
               !options_.follow && platform::is_not_directory(error) ? std::string(kChanged.view())
                                                                     : error.description(),
               true);
          continue;
        }
        const std::size_t first_subdir = subdirs_.size();
        visit_entries(dir, fs_dir, directory);
        if (!batch_.files.empty()) {
          batch_.directory = std::move(directory);
          prober_->push(std::move(batch_));
          batch_ = ProbeBatch();
        }
        // Reversed, so that the stack gives them back in name order.
        for (std::size_t i = subdirs_.size(); i > first_subdir; --i) {
          stack.push_back(std::move(subdirs_[i - 1]));
        }
        subdirs_.resize(first_subdir);
      }
      prober.close();
      prober_ = nullptr;
      if (prober.out_of_memory()) return base::Error(base::texts::kOutOfMemory);
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
  void visit_entries(const Pending& dir, const std::string& fs_dir,
                     const std::shared_ptr<platform::Directory>& directory) {
    for (const platform::DirectoryListing::Entry& entry : listing_.entries()) {
      const std::string_view name = listing_.name(entry);
      if (!options_.all && (name == ".git" || name == "node_modules")) continue;
      const std::string rel = join_path(dir.rel, name);
      const std::string fs_path = join_path(fs_dir, name);
      EntryType type = entry.type;
      std::optional<platform::NodeStatus> target;
      if (type == EntryType::kUnknown) {
        base::Result<platform::NodeStatus> node = directory->query(name, false);
        if (!node) {
          entry_failed(rel, node.error(), false);
          continue;
        }
        type = node->type;
      }
      if (type == EntryType::kLink || (options_.follow && type == EntryType::kDirectory)) {
        base::Result<platform::NodeStatus> node = directory->query(name, true);
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
        add_file(rel, fs_path, name);
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

  void add_file(const std::string& rel, const std::string& fs_path, std::string_view name) {
    const std::size_t index = rel_ends_.size();
    rel_bytes_.append(rel);
    rel_ends_.push_back(rel_bytes_.size());
    progress_.found.fetch_add(1, std::memory_order_relaxed);
    // Without old entries there is nothing to ask before the read.
    if (options_.known != nullptr && options_.known->count > 0) {
      batch_.files.push_back({index, std::string(name), fs_path, rel});
    } else {
      queue_for_hashing(index, fs_path, std::string());
    }
  }

  // With a cache: a file the cache has an entry for is answered by it when
  // its metadata is the same; every other file is hashed, and kept for the
  // next run by what its read's own query saw (see Hashers::judge).
  // Runs on the prober's thread, beside the walk.
  void probe(const ProbeBatch& batch) {
    for (const Probe& file : batch.files) {
      const std::optional<std::size_t> old = find_known(file.rel);
      std::optional<Record> record;
      if (old) {
        record = record_from(batch.directory->metadata(file.name));
        if (record && reuse(file.index, *old, *record)) continue;
      }
      queue_for_hashing(file.index, file.fs_path,
                        record ? std::string(record->begin(), record->end()) : std::string());
    }
  }

  void queue_for_hashing(std::size_t index, const std::string& fs_path, std::string before) {
    if (options_.known != nullptr) list_before_.push_back(std::move(before));
    list_.add(fs_path);
    list_indexes_.push_back(index);
    const std::size_t full = results_.size() < kList / kFirstList ? kFirstList : kList;
    if (list_.size() >= full || (list_.size() >= kEarlyList && hashers_->idle())) hand_over();
  }

  // Answers a file from the cache when its record is the old entry's, and
  // it is not a file to leave out.
  bool reuse(std::size_t index, std::size_t old, const Record& record) {
    for (const platform::FileIdentity& identity : options_.leave_out) {
      if (identity.device == get64(record.data()) && identity.inode == get64(record.data() + 8)) {
        return false;
      }
    }
    const KnownFiles& known = *options_.known;
    if (std::memcmp(known.records.data() + old * cache::kRecordSize, record.data(),
                    record.size()) != 0) {
      return false;
    }
    reused_.emplace_back(index, old);
    progress_.hashed.fetch_add(1, std::memory_order_relaxed);
    return true;
  }

  // The old entry of `rel`. Files mostly come in the order the cache keeps
  // them, so the entry after the last one found is tried first; a cache
  // written in byte order (as this walk writes them) is searched, any other
  // looked up through a map made when first needed.
  std::optional<std::size_t> find_known(std::string_view rel) {
    const KnownFiles& known = *options_.known;
    if (known.count == 0) return std::nullopt;
    if (known_starts_.empty()) index_known();
    const std::size_t count = known_starts_.size() - 1;
    if (next_known_ < count && known_name(next_known_) == rel) return next_known_++;
    std::size_t found = count;
    if (known_sorted_) {
      std::size_t low = 0;
      std::size_t high = count;
      while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (known_name(middle) < rel)
          low = middle + 1;
        else
          high = middle;
      }
      if (low < count && known_name(low) == rel) found = low;
    } else {
      if (known_map_.empty()) {
        known_map_.reserve(count);
        for (std::size_t i = 0; i < count; ++i) known_map_.emplace(known_name(i), i);
      }
      const auto at = known_map_.find(rel);
      if (at != known_map_.end()) found = at->second;
    }
    if (found == count) return std::nullopt;
    next_known_ = found + 1;
    return found;
  }

  std::string_view known_name(std::size_t i) const {
    return options_.known->names.substr(known_starts_[i],
                                        known_starts_[i + 1] - known_starts_[i] - 1);
  }

  void index_known() {
    const KnownFiles& known = *options_.known;
    known_starts_.reserve(known.count + 1);
    std::size_t start = 0;
    for (std::size_t i = 0; i < known.count && start <= known.names.size(); ++i) {
      known_starts_.push_back(start);
      const std::size_t end = known.names.find('\0', start);
      start = end == std::string_view::npos ? known.names.size() + 1 : end + 1;
    }
    known_starts_.push_back(start);
    for (std::size_t i = 1; i + 1 < known_starts_.size() && known_sorted_; ++i) {
      known_sorted_ = known_name(i - 1) < known_name(i);
    }
  }

  void hand_over() {
    if (list_.size() == 0) return;
    auto result = std::make_unique<ListResult>();
    result->indexes = std::move(list_indexes_);
    result->before = std::move(list_before_);
    list_indexes_.clear();
    list_before_.clear();
    ListResult* raw = result.get();
    results_.push_back(std::move(result));
    hashers_->push({std::move(list_), raw});
    list_ = PathList();
  }

  // Every file's outcome by its place in the walk, the lists freed as they
  // are taken apart.
  void gather() {
    const std::size_t count = rel_ends_.size();
    const bool caching = options_.known != nullptr;
    digests_.resize(count);
    kinds_.assign(count, Kind::kLeftOut);
    if (caching) {
      keep_.assign(count, false);
      records_.resize(count);
      old_of_.assign(count, kNoLink);
    }
    for (std::unique_ptr<ListResult>& list : results_) {
      for (std::size_t i = 0; i < list->indexes.size(); ++i) {
        const std::size_t index = list->indexes[i];
        kinds_[index] = list->kinds[i];
        digests_[index] = list->digests[i];
        if (caching && list->keep[i]) {
          keep_[index] = true;
          records_[index] = list->records[i];
        }
      }
      for (auto& [at, reason] : list->failures)
        failures_.emplace(list->indexes[at], std::move(reason));
      list.reset();
    }
    results_.clear();
    if (!caching) return;
    const KnownFiles& known = *options_.known;
    for (const auto& [index, old] : reused_) {
      kinds_[index] = Kind::kHashed;
      std::memcpy(digests_[index].data(), known.digests.data() + old * 32, 32);
      std::memcpy(records_[index].data(), known.records.data() + old * cache::kRecordSize,
                  cache::kRecordSize);
      keep_[index] = true;
      old_of_[index] = old;
    }
  }

  void assemble(TreeManifest& manifest) {
    gather();
    const std::size_t count = rel_ends_.size();
    // Views made as needed, not kept for every file: a table of them would
    // add 16 MB to the peak of a tree of a million files.
    const auto rel_of = [&](std::size_t i) {
      const std::size_t start = i == 0 ? 0 : rel_ends_[i - 1];
      return std::string_view(rel_bytes_).substr(start, rel_ends_[i] - start);
    };
    std::vector<std::uint32_t> order(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = static_cast<std::uint32_t>(i);
    std::sort(order.begin(), order.end(),
              [&](std::uint32_t a, std::uint32_t b) { return rel_of(a) < rel_of(b); });

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
    CacheEntries& cache = manifest.cache;
    bool unchanged = options_.known != nullptr;
    hashing::Sha256 root;
    std::string line;
    char hex[hashing::kHexDigestSize];
    for (const std::uint32_t index : order) {
      const std::string path = join_path(display_, rel_of(index));
      if (kinds_[index] == Kind::kFailed) {
        const auto failure = failures_.find(index);
        manifest.skipped.push_back(
            {path, failure == failures_.end() ? std::string(kNotRegular.view()) : failure->second,
             true});
        continue;
      }
      if (kinds_[index] != Kind::kHashed) continue;
      const hashing::Digest& digest = digests_[index];
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
      if (options_.known != nullptr && keep_[index]) {
        if (old_of_[index] != cache.count) unchanged = false;
        cache.names.append(rel_of(index)).push_back('\0');
        cache.records.append(reinterpret_cast<const char*>(records_[index].data()),
                             cache::kRecordSize);
        cache.digests.append(reinterpret_cast<const char*>(digest.data()), digest.size());
        ++cache.count;
      } else {
        unchanged = false;
      }
    }
    manifest.root = root.finish();
    if (as_text) {
      manifest.text.append(*options_.text_trailer).append(hashing::to_hex(manifest.root));
      manifest.text.push_back('\n');
    }
    cache.reused = reused_.size();
    cache.unchanged =
        unchanged && options_.known != nullptr && cache.count == options_.known->count;
    manifest.bytes = progress_.bytes.load();
  }

  std::string root_;
  std::string display_;
  const WalkOptions& options_;
  WalkProgress& progress_;
  Hashers* hashers_ = nullptr;
  Prober* prober_ = nullptr;
  ProbeBatch batch_;
  platform::DirectoryListing listing_;
  std::vector<Pending> subdirs_;
  std::vector<ChainLink> chain_;
  std::vector<Skip> skipped_;
  // Every file found, by its path below the root, in walk order.
  std::string rel_bytes_;
  std::vector<std::size_t> rel_ends_;
  PathList list_;
  std::vector<std::size_t> list_indexes_;
  std::vector<std::string> list_before_;
  std::vector<std::unique_ptr<ListResult>> results_;
  // With known files: the old entry by path, and the files answered by it.
  std::vector<std::size_t> known_starts_;  // of each name, and one past the last
  bool known_sorted_ = true;
  std::size_t next_known_ = 0;
  std::unordered_map<std::string_view, std::size_t> known_map_;
  std::vector<std::pair<std::size_t, std::size_t>> reused_;
  // Every file's outcome in walk order, once the hashers are done.
  std::vector<hashing::Digest> digests_;
  std::vector<Kind> kinds_;
  std::unordered_map<std::size_t, std::string> failures_;
  std::vector<bool> keep_;
  std::vector<Record> records_;
  std::vector<std::size_t> old_of_;
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

bool trusted_record(const std::uint8_t* record, std::int64_t probe_ns) {
  // Offsets of the modification and change times in a record.
  for (const std::size_t at : {std::size_t{24}, std::size_t{32}}) {
    const auto time = static_cast<std::int64_t>(get64(record + at));
    std::int64_t step = 1;
    for (const std::int64_t candidate : {2'000'000'000LL, 1'000'000'000LL, 1'000'000LL, 1'000LL}) {
      if (time % candidate == 0) {
        step = candidate;
        break;
      }
    }
    if (time + step > probe_ns) return false;
  }
  return true;
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
      for (std::size_t i = first; i < first + count; ++i) results.back()->indexes.push_back(i);
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
      outcomes.digests[list->indexes[i]] = list->digests[i];
      outcomes.hashed[list->indexes[i]] = true;
    }
    for (auto& [at, reason] : list->failures) {
      outcomes.failures.emplace_back(list->indexes[at], std::move(reason));
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
