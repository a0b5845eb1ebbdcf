#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cache/identity_batch.h"
#include "hashing/digest.h"
#include "platform/directory.h"
#include "platform/platform.h"
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
