#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "hashing/file_read.h"
#include "platform/file.h"
#include "support/temp_dir.h"

#if defined(__has_feature)
#define SANITIZED_BY_CLANG (__has_feature(address_sanitizer) || __has_feature(thread_sanitizer))
#else
#define SANITIZED_BY_CLANG 0
#endif

namespace tov::hashing {
namespace {

using test_support::TempDir;

std::string read_with_streams(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::size_t open_descriptor_count() {
  const std::filesystem::directory_iterator entries("/proc/self/fd");
  return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

std::string error_text(std::string_view path) {
  const ReadResult result = read_whole_file(path);
  return result.ok() ? "<read succeeded>" : result.error().description();
}

TEST(FileRead, ReadsWholeFilesOfAnySize) {
  TempDir dir;
  for (const std::size_t size : {0, 1, 4096, 4097, 3 * 1024 * 1024 + 17}) {
    const std::string bytes = test_support::patterned_bytes(size, static_cast<unsigned>(size));
    const ReadResult result = read_whole_file(dir.write(test_support::numbered("f", size), bytes));
    ASSERT_TRUE(result.ok()) << result.error().description();
    EXPECT_TRUE(result.contents().view() == bytes) << size;
  }
}

TEST(FileRead, ProcFilesReportNoSizeButAreReadToTheEnd) {
  platform::FileStatus status;
  ASSERT_FALSE(platform::query_path("/proc/version", status).failed());
  ASSERT_TRUE(status.is_regular);
  ASSERT_EQ(status.size, 0u);
  const ReadResult result = read_whole_file("/proc/version");
  ASSERT_TRUE(result.ok());
  EXPECT_GT(result.contents().size(), 0u);
  EXPECT_EQ(result.contents().view(), read_with_streams("/proc/version"));
}

TEST(FileRead, ReservationSmallerOrLargerThanTheFile) {
  TempDir dir;
  const std::string bytes = test_support::patterned_bytes(1024 * 1024 + 3);
  const std::string path = dir.write("grown", bytes);
  // 0 sends every byte through the growth path; 100 starts short; the
  // oversized reservation stands for a file that shrank after its size was read.
  for (const std::uint64_t reserve : {0, 100, 1024 * 1024 + 3, 4 << 20}) {
    platform::File file;
    ASSERT_FALSE(file.open_for_reading(path).failed());
    const ReadResult result = detail::read_to_end(file, reserve);
    ASSERT_TRUE(result.ok()) << reserve;
    EXPECT_TRUE(result.contents().view() == bytes) << reserve;
  }
}

TEST(FileRead, FailuresCarryTheirExactTexts) {
  TempDir dir;
  EXPECT_EQ(error_text(dir / "missing"), "No such file or directory (os error 2)");
  EXPECT_EQ(error_text(dir / "no-dir/missing"), "No such file or directory (os error 2)");
  EXPECT_EQ(error_text(""), "No such file or directory (os error 2)");
  EXPECT_EQ(read_whole_file(dir / "missing").error().os_code(), ENOENT);
  EXPECT_EQ(error_text(dir.path().string()), "Is a directory (os error 21)");
  EXPECT_EQ(IoError::out_of_memory().description(), "out of memory");
  EXPECT_EQ(IoError::background_task_failed().description(), "background task failed");
}

TEST(FileRead, PathWithNulIsRefusedBeforeTheSystemSeesIt) {
  TempDir dir;
  // The part before the NUL names a real file: reaching the system would
  // have read it.
  const std::string file = dir.write("real", "content");
  for (const std::string& path :
       {file + '\0', file + std::string("\0x", 2), std::string(1, '\0')}) {
    const ReadResult result = read_whole_file(path);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), IoError::Kind::kNulInPath);
    EXPECT_EQ(result.error().description(), "strings passed to WinAPI cannot contain NULs");
  }
}

TEST(FileRead, NoDescriptorOutlivesACall) {
  TempDir dir;
  const std::string file = dir.write("file", "abc");
  const std::size_t before = open_descriptor_count();
  for (int round = 0; round < 50; ++round) {
    EXPECT_TRUE(read_whole_file(file).ok());
    EXPECT_FALSE(read_whole_file(dir.path().string()).ok());  // opens, then fails to read
    EXPECT_FALSE(read_whole_file(dir / "missing").ok());
  }
  EXPECT_EQ(open_descriptor_count(), before);
}

// A FIFO is waited on, then read to the end like any file: the reader must
// be in open() before the writer arrives, and a writer that pauses between
// writes must not cut the read short.
TEST(FileRead, FifoIsReadFromItsLateWriterToTheEnd) {
  TempDir dir;
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  bool written = false;
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // Blocks until some reader has the FIFO open.
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    written = ::write(fd, "hel", 3) == 3;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    written = written && ::write(fd, "lo", 2) == 2;
    ::close(fd);
  });
  std::string outcome;
  const bool finished = test_support::finishes_despite_fifo(fifo, [&] {
    const ReadResult result = read_whole_file(fifo);
    outcome = result.ok() ? std::string(result.contents().view()) : result.error().description();
  });
  // A reader that gave up early leaves the writer waiting in open(): this
  // one lets it through so that a failing test still ends.
  const int release = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  writer.join();
  if (release >= 0) ::close(release);
  EXPECT_TRUE(written);
  EXPECT_TRUE(finished);
  EXPECT_EQ(outcome, "hello");
}

TEST(FileRead, SizeBeyondMemoryIsOutOfMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || SANITIZED_BY_CLANG
  GTEST_SKIP() << "sanitizer allocators abort on impossible sizes instead of failing";
#else
  // Only the heuristic overcommit mode refuses a reservation far beyond
  // memory; the others would hand out pages and read terabytes of zeros.
  if (read_with_streams("/proc/sys/vm/overcommit_memory") != "0\n") {
    GTEST_SKIP() << "overcommit mode does not refuse huge reservations";
  }
  TempDir dir;
  const std::string path = dir.write("sparse", "");
  std::error_code error;
  std::filesystem::resize_file(path, std::uintmax_t{1} << 43, error);
  if (error) GTEST_SKIP() << "file system refuses an 8 TiB sparse file";
  EXPECT_EQ(error_text(path), "out of memory");
#endif
}

TEST(FilePlatform, QueryFollowsLinks) {
  TempDir dir;
  const std::string file = dir.write("file", "12345");
  std::filesystem::create_symlink(file, dir / "to-file");
  std::filesystem::create_symlink(dir.path(), dir / "to-dir");
  std::filesystem::create_symlink(dir / "gone", dir / "dangling");

  platform::FileStatus status;
  ASSERT_FALSE(platform::query_path(dir / "to-file", status).failed());
  EXPECT_TRUE(status.is_regular);
  EXPECT_EQ(status.size, 5u);
  ASSERT_FALSE(platform::query_path(dir / "to-dir", status).failed());
  EXPECT_FALSE(status.is_regular);
  EXPECT_EQ(platform::query_path(dir / "dangling", status).os_code(), ENOENT);
  EXPECT_EQ(platform::query_path("", status).os_code(), ENOENT);
  EXPECT_TRUE(platform::query_path(file + '\0', status).is_nul_in_path());
}

TEST(FilePlatform, MovedFilesCloseExactlyOnce) {
  TempDir dir;
  const std::string path = dir.write("file", "hello");
  const std::size_t before = open_descriptor_count();
  {
    platform::File first;
    ASSERT_FALSE(first.open_for_reading(path).failed());
    platform::File second(std::move(first));
    platform::File third;
    ASSERT_FALSE(third.open_for_reading(path).failed());
    third = std::move(second);  // closes what third held
    EXPECT_FALSE(first.is_open());
    EXPECT_EQ(open_descriptor_count(), before + 1);
    char buffer[16];
    std::size_t got = 0;
    ASSERT_FALSE(third.read(buffer, sizeof(buffer), got).failed());
    EXPECT_EQ(std::string(buffer, got), "hello");
  }
  EXPECT_EQ(open_descriptor_count(), before);
}

TEST(FilePlatform, OpeningAFifoNeitherBlocksNorLooksRegular) {
  TempDir dir;
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  platform::FileStatus status{0, true};
  bool opened = false;
  EXPECT_TRUE(test_support::finishes_despite_fifo(fifo, [&] {
    platform::File file;
    opened = !file.open_for_reading(fifo, &status).failed();
  }));
  EXPECT_TRUE(opened);
  EXPECT_FALSE(status.is_regular);
}

}  // namespace
}  // namespace tov::hashing
