#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cache/identity_batch.h"
#include "hashing/digest.h"
#include "platform/directory.h"
#include "platform/platform.h"
#include "platform/read_ring.h"
#include "runtime/pool.h"
#include "support/temp_dir.h"
#include "tree/tree_walk.h"

namespace tov::tree {
namespace {

using test_support::TempDir;

std::vector<std::string> paths_of(const TreeManifest& manifest) {
  std::vector<std::string> paths;
  for (std::size_t start = 0; start < manifest.paths.size();) {
    const std::size_t end = manifest.paths.find('\0', start);
    paths.push_back(manifest.paths.substr(start, end - start));
    start = end + 1;
  }
  return paths;
}

TreeManifest walk(const std::string& root, const WalkOptions& options = {},
                  std::string_view display = "") {
  WalkProgress progress;
  base::Result<TreeManifest> manifest = hash_tree(root, display, options, progress);
  EXPECT_TRUE(manifest.ok()) << (manifest ? "" : manifest.error().description());
  return manifest ? std::move(manifest).value() : TreeManifest{};
}

std::vector<std::string> notes_of(const TreeManifest& manifest) {
  std::vector<std::string> notes;
  for (const Skip& skip : manifest.skipped) {
    notes.push_back(skip.path + ": " + skip.reason + (skip.failed ? " (failed)" : ""));
  }
  return notes;
}

std::string failed_with(int code) {
  return platform::os_error(code).description() + " (failed)";
}

// `count` files in the directory `sub`, all names of one file (links are
// far quicker to make than as many files).
void fill(const TempDir& dir, const std::string& sub, int count) {
  std::filesystem::create_directories(dir / sub);
  const std::string first = dir.write(sub + "/0", "same");
  for (int i = 1; i < count; ++i) {
    std::filesystem::create_hard_link(first, dir / (sub + test_support::numbered("/", i)));
  }
}

// Polls `done` for up to ten seconds.
template <class Done>
bool eventually(Done done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Keeps every worker of the shared pool busy until released. The hashers
// read files only on the pool, so while it is held a walk lists on until
// its queue of lists is full and then waits, its files neither queried
// nor opened: the test decides what changes in between.
class PoolHold {
 public:
  PoolHold() {
    const std::size_t workers = runtime::WorkerPool::shared().worker_count();
    if (workers == 0) return;
    // One item more than there are workers, so that even a single worker
    // takes one (a loop of one item runs on its caller).
    holder_ = std::thread([this, workers] {
      runtime::WorkerPool::shared().for_each_index(workers + 1, [this](std::size_t) {
        // A worker's read ring is opened on first use and kept for good:
        // opened now, it cannot move a count of descriptors taken meanwhile.
        static_cast<void>(platform::ReadRing::for_this_thread());
        std::unique_lock lock(mutex_);
        ++held_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return released_; });
      });
    });
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return held_ >= workers; });
  }
  ~PoolHold() { release(); }
  PoolHold(const PoolHold&) = delete;
  PoolHold& operator=(const PoolHold&) = delete;

  bool holding() const { return holder_.joinable(); }
  void release() {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
    if (holder_.joinable()) holder_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t held_ = 0;
  bool released_ = false;
  std::thread holder_;
};

// A walk on a thread of its own while the pool is held; the pool is let go
// and the thread joined however the test ends.
class HeldWalk {
 public:
  HeldWalk(PoolHold& hold, std::string root, WalkOptions options = {})
      : hold_(hold),
        options_(options),
        thread_([this, root] { result_.emplace(hash_tree(root, "", options_, progress)); }) {}
  ~HeldWalk() { finish(); }
  HeldWalk(const HeldWalk&) = delete;
  HeldWalk& operator=(const HeldWalk&) = delete;

  base::Result<TreeManifest>& finish() {
    hold_.release();
    if (thread_.joinable()) thread_.join();
    return *result_;
  }

  WalkProgress progress;

 private:
  PoolHold& hold_;
  WalkOptions options_;
  std::optional<base::Result<TreeManifest>> result_;
  std::thread thread_;
};

// Every kind of entry a tree holds, each where the walk must see it:
// names compared as bytes, links followed to files only, nothing but
// regular files opened (a FIFO would hang the walk), .git passed over.
TEST(TreeWalk, ListsFilesInByteOrderAndSaysWhatItLeftOut) {
  if (!platform::can_list_directories()) GTEST_SKIP() << "no native listing here";
  TempDir dir;
  std::filesystem::create_directories(dir / "b/c");
  std::filesystem::create_directories(dir / ".git");
  dir.write("b/c/deep", "deep");
  dir.write("b.txt", "dot");
  dir.write("b0", "zero");
  dir.write(".git/HEAD", "ref");
  dir.write(std::string("caf\xe9"), "latin-1 name");
  std::filesystem::create_symlink("b0", dir / "link-to-file");
  std::filesystem::create_symlink("b", dir / "link-to-dir");
  std::filesystem::create_symlink("nowhere", dir / "broken");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);

  const TreeManifest manifest = walk(dir.path().string(), {}, "shown");
  const std::vector<std::string> expected = {"shown/b.txt", "shown/b/c/deep", "shown/b0",
                                             std::string("shown/caf\xe9"), "shown/link-to-file"};
  EXPECT_EQ(paths_of(manifest), expected);
  ASSERT_EQ(manifest.digests.size(), expected.size());
  EXPECT_EQ(manifest.digests[1], hashing::sha256("deep"));
  EXPECT_EQ(manifest.digests[4], hashing::sha256("zero"));
  std::string lines;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (i > 0) lines += '\n';
    lines += expected[i] + ":" + hashing::to_hex(manifest.digests[i]);
  }
  EXPECT_EQ(manifest.root, hashing::sha256(lines));

  std::vector<std::string> skipped;
  for (const Skip& skip : manifest.skipped) {
    skipped.push_back(skip.path + ": " + skip.reason + (skip.failed ? " (failed)" : ""));
  }
  EXPECT_EQ(skipped, (std::vector<std::string>{
                         "shown/broken: broken symbolic link",
                         "shown/fifo: not a regular file",
                         "shown/link-to-dir: symbolic link to a directory, not followed",
                     }));
  EXPECT_EQ(manifest.walk_skips, 3u);
  EXPECT_EQ(manifest.found, expected.size());

  WalkOptions all;
  all.all = true;
  all.follow = true;
  const std::vector<std::string> everything = paths_of(walk(dir.path().string(), all));
  EXPECT_NE(std::find(everything.begin(), everything.end(), ".git/HEAD"), everything.end());
  EXPECT_NE(std::find(everything.begin(), everything.end(), "link-to-dir/c/deep"),
            everything.end());
}

TEST(TreeWalk, StopsAtLoopsAndReportsWhatItCouldNotRead) {
  if (!platform::can_list_directories()) GTEST_SKIP() << "no native listing here";
  TempDir dir;
  std::filesystem::create_directories(dir / "a/locked");
  dir.write("a/file", "x");
  std::filesystem::create_symlink("..", dir / "a/up");
  WalkOptions follow;
  follow.follow = true;
  TreeManifest looped = walk(dir.path().string(), follow);
  EXPECT_EQ(paths_of(looped), std::vector<std::string>{"a/file"});
  ASSERT_EQ(looped.skipped.size(), 1u);
  EXPECT_EQ(looped.skipped[0].path, "a/up");
  EXPECT_EQ(looped.skipped[0].reason, "symbolic link loop");

  if (geteuid() != 0) {
    ASSERT_EQ(chmod((dir / "a/locked").c_str(), 0), 0);
    const TreeManifest locked = walk(dir.path().string());
    chmod((dir / "a/locked").c_str(), 0700);
    // Without follow, the link a/up is noted too: the locked directory's
    // note is looked up by its path, not taken to be the only one.
    const auto note = std::find_if(locked.skipped.begin(), locked.skipped.end(),
                                   [](const Skip& skip) { return skip.path == "a/locked"; });
    ASSERT_NE(note, locked.skipped.end()) << ::testing::PrintToString(notes_of(locked));
    EXPECT_TRUE(note->failed);
    EXPECT_EQ(note->reason, platform::os_error(EACCES).description());
    EXPECT_EQ(locked.skipped.size(), 2u) << ::testing::PrintToString(notes_of(locked));
    EXPECT_EQ(paths_of(locked), std::vector<std::string>{"a/file"});
  }

  WalkProgress progress;
  base::Result<TreeManifest> missing = hash_tree(dir / "missing", "", {}, progress);
  ASSERT_TRUE(missing.ok());
  ASSERT_TRUE(missing->root_error.has_value());
  EXPECT_TRUE(platform::is_missing(*missing->root_error));

  WalkProgress cancelled;
  cancelled.cancelled = true;
  EXPECT_FALSE(hash_tree(dir.path().string(), "", {}, cancelled).ok());
}

// A cached run answers unchanged files from the cache, reads the rest, and
// hands back entries that are byte-identical to those it was given when
// nothing moved.
TEST(TreeWalk, AnswersUnchangedFilesFromKnownEntries) {
  if (!platform::can_list_directories()) GTEST_SKIP() << "no native listing here";
  TempDir dir;
  dir.write("a", "first");
  dir.write("b", "second");
  const std::int64_t later = std::int64_t{4'000'000'000} * 1'000'000'000;  // far ahead
  KnownFiles none;
  none.probe_ns = later;
  WalkOptions options;
  options.known = &none;
  const TreeManifest first = walk(dir.path().string(), options);
  ASSERT_EQ(first.cache.count, 2u);
  EXPECT_EQ(first.cache.reused, 0u);

  // The digest kept for b is a lie on purpose: only a reuse can return it.
  std::string digests = first.cache.digests;
  digests[32] = static_cast<char>(digests[32] ^ 1);
  std::string names = first.cache.names;
  names.pop_back();  // joined, as the cache file keeps them
  KnownFiles known;
  known.names = names;
  known.records = {reinterpret_cast<const std::uint8_t*>(first.cache.records.data()),
                   first.cache.records.size()};
  known.digests = {reinterpret_cast<const std::uint8_t*>(digests.data()), digests.size()};
  known.count = 2;
  known.probe_ns = later;
  options.known = &known;
  const TreeManifest second = walk(dir.path().string(), options);
  EXPECT_EQ(second.cache.reused, 2u);
  EXPECT_TRUE(second.cache.unchanged);
  EXPECT_NE(second.digests[1], first.digests[1]);

  dir.write("b", "changed!");
  const TreeManifest third = walk(dir.path().string(), options);
  EXPECT_EQ(third.cache.reused, 1u);
  EXPECT_FALSE(third.cache.unchanged);
  EXPECT_EQ(third.digests[1], hashing::sha256("changed!"));

  // A clock that has not passed the files' times keeps nothing new.
  known.probe_ns = 0;
  EXPECT_EQ(walk(dir.path().string(), options).cache.count, 1u);
}

// Listed files keep their place whatever happens to each, over more than
// one list.
TEST(TreeWalk, HashesListedFilesByTheirPlace) {
  TempDir dir;
  std::vector<std::string> paths;
  for (int i = 0; i < 5000; ++i) {
    paths.push_back(i % 1000 == 7 ? dir / "missing"
                                  : dir.write(test_support::numbered("f", i % 3),
                                              test_support::numbered("content ", i % 3)));
  }
  const std::vector<std::string_view> views(paths.begin(), paths.end());
  WalkProgress progress;
  base::Result<ListedOutcomes> outcomes = hash_listed(views, progress);
  ASSERT_TRUE(outcomes.ok());
  ASSERT_EQ(outcomes->failures.size(), 5u);
  EXPECT_EQ(outcomes->failures[0].first, 7u);
  for (std::size_t i : {std::size_t{0}, std::size_t{2049}, std::size_t{4999}}) {
    ASSERT_TRUE(outcomes->hashed[i]);
    EXPECT_EQ(outcomes->digests[i], hashing::sha256(test_support::numbered("content ", i % 3)));
  }
  EXPECT_EQ(progress.hashed.load(), 5000u);
}

// The lines sha256sum writes and checks: names with a backslash, line feed
// or carriage return escaped and marked; the root line last. A file whose
// identity is to be left out is neither listed nor answered from a cache.
TEST(TreeWalk, WritesManifestLinesAndLeavesOutFilesByIdentity) {
  if (!platform::can_list_directories()) GTEST_SKIP() << "no native listing here";
  TempDir dir;
  dir.write("plain", "p");
  dir.write("a\\b\nc", "odd");
  const std::string out = dir.write("out", "the manifest itself");
  struct stat info {};
  ASSERT_EQ(::stat(out.c_str(), &info), 0);
  const platform::FileIdentity identity{static_cast<std::uint64_t>(info.st_dev),
                                        static_cast<std::uint64_t>(info.st_ino)};
  WalkOptions options;
  options.leave_out = std::span(&identity, 1);
  options.text_trailer = "# root: ";
  const TreeManifest manifest = walk(dir.path().string(), options);
  // Built piece by piece: g++ 12 warns falsely (-Wrestrict) on a literal
  // added to a temporary string.
  std::string expected = "\\";
  expected += hashing::to_hex(hashing::sha256("odd"));
  expected += "  a\\\\b\\nc\n";
  expected += hashing::to_hex(hashing::sha256("p"));
  expected += "  plain\n# root: ";
  expected += hashing::to_hex(manifest.root);
  expected += "\n";
  EXPECT_EQ(manifest.text, expected);
  EXPECT_EQ(manifest.count, 2u);
  EXPECT_TRUE(manifest.skipped.empty());

  // Even with a cache entry whose record matches, the file stays out.
  KnownFiles none;
  none.probe_ns = std::int64_t{4'000'000'000} * 1'000'000'000;
  WalkOptions caching;
  caching.known = &none;
  const TreeManifest first = walk(dir.path().string(), caching);
  ASSERT_EQ(first.cache.count, 3u);
  std::string names = first.cache.names;
  names.pop_back();
  KnownFiles known;
  known.names = names;
  known.records = {reinterpret_cast<const std::uint8_t*>(first.cache.records.data()),
                   first.cache.records.size()};
  known.digests = {reinterpret_cast<const std::uint8_t*>(first.cache.digests.data()),
                   first.cache.digests.size()};
  known.count = 3;
  known.probe_ns = none.probe_ns;
  caching.known = &known;
  caching.leave_out = options.leave_out;
  const TreeManifest again = walk(dir.path().string(), caching);
  EXPECT_EQ(paths_of(again), (std::vector<std::string>{"a\\b\nc", "plain"}));
  EXPECT_EQ(again.cache.reused, 2u);
}

// The walk's notes come in walk order: each directory's entries by their
// bytes, a directory's own notes before those of anything below it; files
// that then fail to read follow, by path (here unlike walk order, in which
// "mem" comes before "a/mem"), each with the reason its read gave.
TEST(TreeWalk, NotesLeftOutEntriesInWalkOrderThenUnreadFilesByPath) {
  if (!platform::can_list_directories()) GTEST_SKIP() << "no native listing here";
  TempDir dir;
  std::filesystem::create_directories(dir / "a/b");
  std::filesystem::create_directories(dir / "c");
  dir.write("c/kept", "kept");
  std::filesystem::create_symlink("nowhere", dir / "a-broken");
  std::filesystem::create_symlink("nowhere", dir / "a/b/deep-broken");
  std::filesystem::create_symlink("../c", dir / "a/a-link");
  for (const char* fifo : {"m-fifo", "a/z-fifo", "a/b/deep-fifo", "c/c-fifo"}) {
    ASSERT_EQ(mkfifo((dir / fifo).c_str(), 0600), 0) << fifo;
  }
  std::vector<std::string> expected = {
      "t/a-broken: broken symbolic link",
      "t/m-fifo: not a regular file",
      "t/a/a-link: symbolic link to a directory, not followed",
      "t/a/z-fifo: not a regular file",
      "t/a/b/deep-broken: broken symbolic link",
      "t/a/b/deep-fifo: not a regular file",
      "t/c/c-fifo: not a regular file",
  };
#ifdef __linux__
  // A file that opens but cannot be read: the process's own memory, from
  // offset 0, which nothing maps.
  ASSERT_TRUE(std::filesystem::exists("/proc/self/mem"));
  std::filesystem::create_symlink("/proc/self/mem", dir / "mem");
  std::filesystem::create_symlink("/proc/self/mem", dir / "a/mem");
  expected.push_back("t/a/mem: " + failed_with(EIO));
  expected.push_back("t/mem: " + failed_with(EIO));
#endif
  const TreeManifest manifest = walk(dir.path().string(), {}, "t");
  EXPECT_EQ(notes_of(manifest), expected);
  EXPECT_EQ(manifest.walk_skips, 7u);
  EXPECT_EQ(paths_of(manifest), std::vector<std::string>{"t/c/kept"});
  // Nothing in the order depends on the hashers' timing.
  EXPECT_EQ(notes_of(walk(dir.path().string(), {}, "t")), expected);
}

// Links that lead back up, through two levels and out of the tree: each
// directory is entered once per way down, and a loop is noted where it
// closes.
TEST(TreeWalk, FollowsLinksOutOfTheTreeAndStopsWhereALoopCloses) {
  if (!platform::can_list_directories()) GTEST_SKIP() << "no native listing here";
  TempDir dir;
  TempDir outside;
  std::filesystem::create_directories(dir / "a");
  std::filesystem::create_directories(dir / "b");
  dir.write("a/f", "af");
  dir.write("b/g", "bg");
  std::filesystem::create_symlink("../b", dir / "a/to-b");
  std::filesystem::create_symlink("../a", dir / "b/to-a");
  std::filesystem::create_symlink(outside.path(), dir / "out");
  outside.write("x", "outside");
  std::filesystem::create_symlink(dir.path(), outside / "back");
  std::filesystem::create_symlink(".", outside / "self");

  WalkOptions follow;
  follow.follow = true;
  const TreeManifest followed = walk(dir.path().string(), follow);
  EXPECT_EQ(paths_of(followed),
            (std::vector<std::string>{"a/f", "a/to-b/g", "b/g", "b/to-a/f", "out/x"}));
  EXPECT_EQ(notes_of(followed), (std::vector<std::string>{
                                    "a/to-b/to-a: symbolic link loop",
                                    "b/to-a/to-b: symbolic link loop",
                                    "out/back: symbolic link loop",
                                    "out/self: symbolic link loop",
                                }));

  const TreeManifest kept_in = walk(dir.path().string());
  EXPECT_EQ(paths_of(kept_in), (std::vector<std::string>{"a/f", "b/g"}));
  EXPECT_EQ(notes_of(kept_in), (std::vector<std::string>{
                                   "out: symbolic link to a directory, not followed",
                                   "a/to-b: symbolic link to a directory, not followed",
                                   "b/to-a: symbolic link to a directory, not followed",
                               }));
}

// Entries swapped after the walk listed them and before it reads them: a
// directory for a link out of the tree or for a file, a file for a
// directory or a FIFO. None is read as what it now is, and each is noted.
TEST(TreeWalk, ReportsEntriesSwappedBetweenListingAndReading) {
  if (!platform::can_list_directories()) GTEST_SKIP() << "no native listing here";
  TempDir dir;
  TempDir outside;
  outside.write("secret", "outside the tree");
  // Enough files in "a" that the walk, listing them, must wait for the
  // held hashers before it can reach "d" and "e".
  fill(dir, "a", 1500);
  std::filesystem::create_directories(dir / "d");
  std::filesystem::create_directories(dir / "e");
  dir.write("d/inside", "d");
  dir.write("f", "file");
  dir.write("p", "file");

  PoolHold hold;
  if (!hold.holding()) GTEST_SKIP() << "no pool workers to hold";
  HeldWalk held(hold, dir.path().string());
  ASSERT_TRUE(eventually([&] { return held.progress.found.load() > 0; }));
  std::filesystem::rename(dir / "d", dir / "d-was");
  std::filesystem::create_directory_symlink(outside.path(), dir / "d");
  std::filesystem::remove_all(dir / "e");
  dir.write("e", "outside the tree");
  std::filesystem::remove(dir / "f");
  std::filesystem::create_directory(dir / "f");
  dir.write("f/secret", "outside the tree");
  std::filesystem::remove(dir / "p");
  ASSERT_EQ(mkfifo((dir / "p").c_str(), 0600), 0);

  base::Result<TreeManifest>* result = nullptr;
  // A FIFO opened to be read would wait for a writer.
  EXPECT_TRUE(test_support::finishes_despite_fifo(dir / "p", [&] { result = &held.finish(); }));
  ASSERT_TRUE(result != nullptr && result->ok());
  const TreeManifest& manifest = **result;
  EXPECT_EQ(notes_of(manifest), (std::vector<std::string>{
                                    "d: changed while the tree was walked (failed)",
                                    "e: changed while the tree was walked (failed)",
                                    "f: not a regular file (failed)",
                                    "p: not a regular file (failed)",
                                }));
  EXPECT_EQ(manifest.count, 1500u);
  const hashing::Digest secret = hashing::sha256("outside the tree");
  EXPECT_EQ(std::count(manifest.digests.begin(), manifest.digests.end(), secret), 0);
}

// A cancel from another thread stops a walk held up mid-way: it fails
// promptly, has listed no further, and holds no descriptor after; with a
// cache too, where listed directories wait open for their files' queries.
TEST(TreeWalk, StopsPromptlyWhenCancelledMidWalk) {
  if (!platform::can_list_directories()) GTEST_SKIP() << "no native listing here";
  TempDir dir;
  constexpr int kDirs = 30;
  constexpr int kFiles = 100;
  for (int d = 0; d < kDirs; ++d) fill(dir, test_support::numbered("d", d), kFiles);
  KnownFiles none;
  none.probe_ns = std::int64_t{4'000'000'000} * 1'000'000'000;
  for (const bool cached : {false, true}) {
    SCOPED_TRACE(cached ? "with a cache" : "without a cache");
    WalkOptions options;
    if (cached) options.known = &none;
    PoolHold hold;
    if (!hold.holding()) GTEST_SKIP() << "no pool workers to hold";
    const std::size_t descriptors = test_support::open_descriptor_count();
    HeldWalk held(hold, dir.path().string(), options);
    ASSERT_TRUE(eventually([&] { return held.progress.found.load() >= 200; }));
    held.progress.cancelled = true;
    const auto cancelled_at = std::chrono::steady_clock::now();
    const base::Result<TreeManifest>& result = held.finish();
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled_at, std::chrono::seconds(2));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().description(), "cancelled");
    // Without a cache the walk itself waits for the hashers, so it cannot
    // have listed every directory before the cancel.
    if (!cached) {
      EXPECT_LT(held.progress.found.load(), std::uint64_t{kDirs * kFiles});
    }
    EXPECT_EQ(test_support::open_descriptor_count(), descriptors);
  }
}

TEST(TreeWalk, TrustsTimesOnlyAWholeStepBeforeTheClock) {
  std::uint8_t record[cache::kRecordSize] = {};
  auto at = [&](std::int64_t modified, std::int64_t changed) {
    std::memcpy(record + 24, &modified, 8);
    std::memcpy(record + 32, &changed, 8);
    return record;
  };
  const std::int64_t second = 1'000'000'000;
  EXPECT_TRUE(trusted_record(at(5 * second + 7, 5 * second + 7), 5 * second + 8));
  EXPECT_FALSE(trusted_record(at(5 * second + 7, 5 * second + 8), 5 * second + 8));
  // Whole seconds may stand for any moment of that second.
  EXPECT_FALSE(trusted_record(at(5 * second, 5 * second), 5 * second + 500));
  EXPECT_TRUE(trusted_record(at(5 * second, 5 * second), 6 * second));
  EXPECT_FALSE(trusted_record(at(4 * second, 4 * second), 5 * second + 900'000'000));
}

}  // namespace
}  // namespace tov::tree
#endif
