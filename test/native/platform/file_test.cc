#include "platform/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <iterator>
#include <string>

#include "support/temp_dir.h"

namespace tov::platform {
namespace {

using test_support::TempDir;

TEST(FilePlatform, QueryFollowsLinks) {
  TempDir dir;
  const std::string file = dir.write("file", "12345");
  std::filesystem::create_symlink(file, dir / "to-file");
  std::filesystem::create_symlink(dir.path(), dir / "to-dir");
  std::filesystem::create_symlink(dir / "gone", dir / "dangling");

  base::Result<FileStatus> status = query_path(dir / "to-file");
  ASSERT_TRUE(status.ok());
  EXPECT_TRUE(status->is_regular);
  EXPECT_EQ(status->size, 5u);
  status = query_path(dir / "to-dir");
  ASSERT_TRUE(status.ok());
  EXPECT_FALSE(status->is_regular);
  ASSERT_FALSE(query_path(dir / "dangling").ok());
  EXPECT_EQ(query_path(dir / "dangling").error().system_code(), ENOENT);
  EXPECT_EQ(query_path("").error().system_code(), ENOENT);
  ASSERT_FALSE(query_path(file + '\0').ok());
  EXPECT_TRUE(query_path(file + '\0').error().is(base::texts::kNulInPath));
  EXPECT_FALSE(query_path(file + '\0').error().is_system());
}

TEST(FilePlatform, MovedFilesCloseExactlyOnce) {
  TempDir dir;
  const std::string path = dir.write("file", "hello");
  const std::size_t before = test_support::open_descriptor_count();
  {
    File first;
    ASSERT_TRUE(first.open_for_reading(path).ok());
    File second(std::move(first));
    File third;
    ASSERT_TRUE(third.open_for_reading(path).ok());
    third = std::move(second);  // closes what third held
    EXPECT_FALSE(first.is_open());
    EXPECT_EQ(test_support::open_descriptor_count(), before + 1);
    char buffer[16];
    const base::Result<std::size_t> got = third.read(buffer, sizeof(buffer));
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(std::string(buffer, *got), "hello");
  }
  EXPECT_EQ(test_support::open_descriptor_count(), before);
}

TEST(FilePlatform, OpeningAFifoNeitherBlocksNorLooksRegular) {
  TempDir dir;
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  FileStatus status{0, true, {}};
  bool opened = false;
  EXPECT_TRUE(test_support::finishes_despite_fifo(fifo, [&] {
    File file;
    opened = file.open_for_reading(fifo, &status).ok();
  }));
  EXPECT_TRUE(opened);
  EXPECT_FALSE(status.is_regular);
}

}  // namespace
}  // namespace tov::platform
