#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/directory.h"
#include "support/temp_dir.h"

namespace tov::platform {
namespace {

using test_support::TempDir;

std::vector<std::string> names_of(const DirectoryListing& listing) {
  std::vector<std::string> names;
  for (const DirectoryListing::Entry& entry : listing.entries()) {
    names.emplace_back(listing.name(entry));
  }
  return names;
}

// Names sorted as bytes (so a name above 0x7f goes last), the listing's
// types, and queries by name that follow links or not.
TEST(Directory, ListsSortedEntriesAndQueriesThemByName) {
  if (!can_list_directories()) GTEST_SKIP() << "no native listing here";
  TempDir dir;
  dir.write("b", "bytes");
  dir.write(std::string("\xc3\xa9"), "e acute");
  std::filesystem::create_directory(dir / "a");
  std::filesystem::create_symlink("b", dir / "B-link");
  Directory directory;
  ASSERT_TRUE(directory.open(dir.path().string(), false).ok());
  DirectoryListing listing;
  ASSERT_TRUE(directory.list(listing).ok());
  EXPECT_EQ(names_of(listing), (std::vector<std::string>{"B-link", "a", "b", "\xc3\xa9"}));
  EXPECT_EQ(listing.entries()[1].type, EntryType::kDirectory);

  base::Result<NodeStatus> link = directory.query("B-link", false);
  base::Result<NodeStatus> target = directory.query("B-link", true);
  ASSERT_TRUE(link.ok() && target.ok());
  EXPECT_EQ(link->type, EntryType::kLink);
  EXPECT_EQ(target->type, EntryType::kRegular);
  base::Result<FileMetadata> metadata = directory.metadata("B-link");
  ASSERT_TRUE(metadata.ok());
  EXPECT_EQ(metadata->size, 5u);
  EXPECT_EQ(metadata->inode, target->inode);
  EXPECT_TRUE(is_missing(directory.query("gone", false).error()));
  EXPECT_FALSE(directory.query(std::string("b\0c", 3), false).ok());
}

// Below the root a walk must not be led elsewhere by a link put in a
// directory's place, nor list a file.
TEST(Directory, RefusesALinkOrAFileWhereADirectoryWasExpected) {
  if (!can_list_directories()) GTEST_SKIP() << "no native listing here";
  TempDir dir;
  std::filesystem::create_directory(dir / "real");
  std::filesystem::create_directory_symlink("real", dir / "swapped");
  dir.write("file", "x");
  Directory directory;
  EXPECT_TRUE(directory.open(dir / "swapped", false).ok());
  for (const char* name : {"swapped", "file"}) {
    base::Status opened = directory.open(dir / name, true);
    ASSERT_FALSE(opened.ok()) << name;
    EXPECT_TRUE(is_not_directory(opened.error())) << name;
  }
  DirectoryListing listing;
  EXPECT_FALSE(directory.list(listing).ok());  // nothing open after a failed open
}

// What the walk tells apart by these predicates: links that never end (a
// loop, not a failure), a broken link (missing), and a FIFO, which a query
// must name without opening it.
TEST(Directory, TellsLinkLoopsFromMissingTargetsAndOtherNodes) {
  if (!can_list_directories()) GTEST_SKIP() << "no native listing here";
  TempDir dir;
  std::filesystem::create_symlink("y", dir / "x");
  std::filesystem::create_symlink("x", dir / "y");
  std::filesystem::create_symlink("nowhere", dir / "broken");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  Directory directory;
  ASSERT_TRUE(directory.open(dir.path().string(), true).ok());
  base::Result<NodeStatus> loop = directory.query("x", true);
  ASSERT_FALSE(loop.ok());
  EXPECT_TRUE(is_link_loop(loop.error()));
  EXPECT_FALSE(is_missing(loop.error()));
  base::Result<NodeStatus> link = directory.query("x", false);
  ASSERT_TRUE(link.ok());
  EXPECT_EQ(link->type, EntryType::kLink);
  base::Result<NodeStatus> broken = directory.query("broken", true);
  ASSERT_FALSE(broken.ok());
  EXPECT_TRUE(is_missing(broken.error()));
  EXPECT_FALSE(is_link_loop(broken.error()));
  base::Result<NodeStatus> fifo = directory.query("fifo", true);
  ASSERT_TRUE(fifo.ok());
  EXPECT_EQ(fifo->type, EntryType::kOther);
  EXPECT_FALSE(directory.metadata("broken").ok());

  Directory other;
  base::Status opened = other.open(dir / "x", false);
  ASSERT_FALSE(opened.ok());
  EXPECT_TRUE(is_link_loop(opened.error()));
}

// Each open closes what was held before, and a move hands the one handle
// over: a walk opens a directory per directory it lists.
TEST(Directory, HoldsOneDescriptorThroughReopensAndMoves) {
  if (!can_list_directories()) GTEST_SKIP() << "no native listing here";
  TempDir dir;
  dir.write("only", "x");
  const std::size_t before = test_support::open_descriptor_count();
  {
    Directory directory;
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(directory.open(dir.path().string(), true).ok());
    EXPECT_EQ(test_support::open_descriptor_count(), before + 1);
    Directory moved(std::move(directory));
    Directory assigned;
    ASSERT_TRUE(assigned.open(dir.path().string(), false).ok());
    assigned = std::move(moved);
    EXPECT_EQ(test_support::open_descriptor_count(), before + 1);
    DirectoryListing listing;
    EXPECT_FALSE(moved.list(listing).ok());
    ASSERT_TRUE(assigned.list(listing).ok());
    EXPECT_EQ(names_of(listing), std::vector<std::string>{"only"});
  }
  EXPECT_EQ(test_support::open_descriptor_count(), before);
}

}  // namespace
}  // namespace tov::platform
#endif
