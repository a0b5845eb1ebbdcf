#include "platform/file_identity.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "support/temp_dir.h"

namespace tov::platform {
namespace {

using test_support::TempDir;
namespace fs = std::filesystem;

void write(const fs::path& file, const std::string& content) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
}

FileMetadata identity_of(const fs::path& path) {
  base::Result<FileMetadata> identity = query_identity(path.string());
  EXPECT_TRUE(identity.ok()) << path;
  return identity.ok() ? *identity : FileMetadata{};
}

TEST(FileMetadata, KindsSizesAndFailures) {
  TempDir dir;
  write(dir.path() / "a", "12345");
  const FileMetadata file = identity_of(dir.path() / "a");
  EXPECT_EQ(file.kind, FileKind::kRegular);
  EXPECT_EQ(file.size, 5u);
  EXPECT_EQ(identity_of(dir.path()).kind, FileKind::kDirectory);

  const base::Result<FileMetadata> missing = query_identity((dir.path() / "none").string());
  ASSERT_FALSE(missing.ok());
  EXPECT_TRUE(missing.error().is_system());
  EXPECT_TRUE(query_identity(std::string("a\0b", 3)).error().is(base::texts::kNulInPath));
}

TEST(FileMetadata, TellsFilesAndTheirStatesApart) {
  TempDir dir;
  write(dir.path() / "a", "same");
  write(dir.path() / "b", "same");
  // Whole seconds: some C runtimes (mingw's) set times only to the second,
  // so setting back a time with a fraction would not give it back.
  const auto old_time =
      std::chrono::floor<std::chrono::seconds>(fs::last_write_time(dir.path() / "a"));
  fs::last_write_time(dir.path() / "a", old_time);
  const FileMetadata a = identity_of(dir.path() / "a");
  const FileMetadata b = identity_of(dir.path() / "b");
  EXPECT_EQ(a.device, b.device);
  EXPECT_NE(a.inode, b.inode);

  // A modification time set back to the old value leaves the change time
  // moved; a rename over the file brings another file number.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  write(dir.path() / "a", "SAME");
  fs::last_write_time(dir.path() / "a", old_time);
  const FileMetadata rewritten = identity_of(dir.path() / "a");
  EXPECT_EQ(rewritten.modified_ns, a.modified_ns);
  EXPECT_GT(rewritten.changed_ns, a.changed_ns);
  fs::rename(dir.path() / "b", dir.path() / "a");
  EXPECT_EQ(identity_of(dir.path() / "a").inode, b.inode);
}

TEST(FileMetadata, TimesAreNanosecondsSince1970) {
  TempDir dir;
  write(dir.path() / "a", "x");
  const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  const FileMetadata a = identity_of(dir.path() / "a");
  EXPECT_LT(std::abs(a.modified_ns - now), std::int64_t{60} * 1'000'000'000);
  EXPECT_LT(std::abs(a.changed_ns - now), std::int64_t{60} * 1'000'000'000);
}

}  // namespace
}  // namespace tov::platform
