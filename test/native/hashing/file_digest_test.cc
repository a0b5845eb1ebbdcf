#include "hashing/file_digest.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>

#include "support/temp_dir.h"

namespace tov::hashing {
namespace {

using test_support::TempDir;

std::string error_text(std::string_view path) {
  const base::Result<Digest> result = hash_file(path);
  return result.ok() ? "<read succeeded>" : result.error().description();
}

// The most memory this process has held at once, in bytes.
std::uint64_t peak_resident_bytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
}

TEST(FileDigest, DigestsFilesOfAnySize) {
  TempDir dir;
  // Around the chunk size, so that the last chunk is full, short or a single
  // byte, and a file several chunks long.
  for (const std::size_t size :
       {std::size_t{0}, std::size_t{1}, std::size_t{4097}, kFileChunkSize - 1, kFileChunkSize,
        kFileChunkSize + 1, 3 * kFileChunkSize + 17}) {
    const std::string bytes = test_support::patterned_bytes(size, static_cast<unsigned>(size));
    const base::Result<Digest> result =
        hash_file(dir.write(test_support::numbered("f", size), bytes));
    ASSERT_TRUE(result.ok()) << result.error().description();
    EXPECT_EQ(*result, sha256(bytes)) << size;
  }
}

TEST(FileDigest, ProcFilesReportNoSizeButAreReadToTheEnd) {
  const base::Result<platform::FileStatus> status = platform::query_path("/proc/version");
  ASSERT_TRUE(status.ok());
  ASSERT_TRUE(status->is_regular);
  ASSERT_EQ(status->size, 0u);
  const base::Result<Digest> result = hash_file("/proc/version");
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(*result, sha256(test_support::file_bytes("/proc/version")));
}

TEST(FileDigest, ASizeHintThatIsWrongNeverCutsTheFileShort) {
  TempDir dir;
  const std::string bytes = test_support::patterned_bytes(kFileChunkSize + 3);
  const std::string path = dir.write("grown", bytes);
  // 0 is "unknown"; 100 stands for a file that grew after its size was read,
  // the oversized hint for one that shrank.
  for (const std::uint64_t hint : {std::uint64_t{0}, std::uint64_t{100},
                                   std::uint64_t{kFileChunkSize + 3}, std::uint64_t{4} << 20}) {
    platform::File file;
    ASSERT_TRUE(file.open_for_reading(path).ok());
    const base::Result<Digest> result = digest_file(file, hint);
    ASSERT_TRUE(result.ok()) << hint;
    EXPECT_EQ(*result, sha256(bytes)) << hint;
  }
}

TEST(FileDigest, FailuresCarryTheirExactTexts) {
  TempDir dir;
  EXPECT_EQ(error_text(dir / "missing"), "No such file or directory (os error 2)");
  EXPECT_EQ(error_text(dir / "no-dir/missing"), "No such file or directory (os error 2)");
  EXPECT_EQ(error_text(""), "No such file or directory (os error 2)");
  EXPECT_EQ(hash_file(dir / "missing").error().system_code(), ENOENT);
  EXPECT_EQ(error_text(dir.path().string()), "Is a directory (os error 21)");
}

TEST(FileDigest, PathWithNulIsRefusedBeforeTheSystemSeesIt) {
  TempDir dir;
  // The part before the NUL names a real file: reaching the system would
  // have read it.
  const std::string file = dir.write("real", "content");
  for (const std::string& path :
       {file + '\0', file + std::string("\0x", 2), std::string(1, '\0')}) {
    const base::Result<Digest> result = hash_file(path);
    ASSERT_FALSE(result.ok());
    EXPECT_TRUE(result.error().is(base::texts::kNulInPath));
#if defined(_WIN32)
    EXPECT_EQ(result.error().description(), "strings passed to WinAPI cannot contain NULs");
#else
    EXPECT_EQ(result.error().description(), "paths cannot contain NUL bytes");
#endif
  }
}

TEST(FileDigest, NoDescriptorOutlivesACall) {
  TempDir dir;
  const std::string file = dir.write("file", "abc");
  const std::size_t before = test_support::open_descriptor_count();
  for (int round = 0; round < 50; ++round) {
    EXPECT_TRUE(hash_file(file).ok());
    EXPECT_FALSE(hash_file(dir.path().string()).ok());  // opens, then fails to read
    EXPECT_FALSE(hash_file(dir / "missing").ok());
  }
  EXPECT_EQ(test_support::open_descriptor_count(), before);
}

// A FIFO is waited on, then read to the end like any file: the reader must
// be in open() before the writer arrives, and a writer that pauses between
// writes must not cut the read short.
TEST(FileDigest, FifoIsReadFromItsLateWriterToTheEnd) {
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
    const base::Result<Digest> result = hash_file(fifo);
    outcome = result.ok() ? to_hex(*result) : result.error().description();
  });
  // A reader that gave up early leaves the writer waiting in open(): this
  // one lets it through so that a failing test still ends.
  const int release = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  writer.join();
  if (release >= 0) ::close(release);
  EXPECT_TRUE(written);
  EXPECT_TRUE(finished);
  EXPECT_EQ(outcome, hex_digest("hello"));
}

// Memory stays bounded by the chunk, not by the file: a sparse file of
// several GiB (past 2^32 bytes, where a 32-bit size would wrap) is digested
// while the process's peak memory barely moves.
TEST(FileDigest, SparseFileOfSeveralGibibytesInBoundedMemory) {
  TempDir dir;
  const std::uint64_t size = (std::uint64_t{4} << 30) + 4096 + 3;
  const std::string path = dir.write("sparse", "");
  std::error_code error;
  std::filesystem::resize_file(path, size, error);
  if (error) GTEST_SKIP() << "file system refuses a sparse file of " << size << " bytes";
  {
    // A last byte that is not zero, so that a read stopping short shows.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "z", 1, static_cast<off_t>(size - 1)), 1);
    ::close(fd);
  }
  // From sha256sum over the same bytes: (head -c 4294971394 /dev/zero;
  // printf z) | sha256sum
  const std::string expected = "7bfe4390c49312f7566e2b060ee43a8bc776e407740825128b974cb7bfe7550b";

  const std::uint64_t peak_before = peak_resident_bytes();
  const base::Result<Digest> result = hash_file(path);
  const std::uint64_t peak_after = peak_resident_bytes();
  ASSERT_TRUE(result.ok()) << result.error().description();
  EXPECT_EQ(to_hex(*result), expected);
  EXPECT_LT(peak_after - peak_before, std::uint64_t{64} << 20);
}

}  // namespace
}  // namespace tov::hashing
