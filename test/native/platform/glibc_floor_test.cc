// The replacements that let the distributed Linux binaries run on glibc
// 2.28, checked against the calls of the glibc they run on here.
#include <cstddef>  // defines __GLIBC__ where it applies
#if defined(__GLIBC__) && (defined(__x86_64__) || defined(__aarch64__))

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <system_error>

#include "platform/linux/glibc_floor.h"

namespace {

int a_local_function() {
  return 42;
}

TEST(GlibcFloor, FindsTheObjectOfAnAddressAsTheLoaderDoes) {
  // Looked up rather than called: the headers of glibc before 2.35 (Zig's
  // 2.28 target) do not declare it.
  using FindObject = int(void*, dl_find_object*);
  auto* loader_find = reinterpret_cast<FindObject*>(dlsym(RTLD_DEFAULT, "_dl_find_object"));
  if (loader_find == nullptr) GTEST_SKIP() << "this glibc has no _dl_find_object to compare with";
  void* libc_call = dlsym(RTLD_DEFAULT, "write");
  ASSERT_NE(libc_call, nullptr);
  for (void* address : {reinterpret_cast<void*>(&a_local_function), libc_call}) {
    dl_find_object expected{};
    dl_find_object found{};
    ASSERT_EQ(loader_find(address, &expected), 0);
    ASSERT_EQ(tov::platform::find_object_by_headers(address, &found), 0);
    EXPECT_NE(found.dlfo_eh_frame, nullptr);
    EXPECT_EQ(found.dlfo_eh_frame, expected.dlfo_eh_frame);
    EXPECT_EQ(found.dlfo_map_start, expected.dlfo_map_start);
    EXPECT_LE(reinterpret_cast<char*>(expected.dlfo_map_end),
              reinterpret_cast<char*>(found.dlfo_map_end));
  }
  dl_find_object none{};
  EXPECT_EQ(tov::platform::find_object_by_headers(nullptr, &none), -1);
}

TEST(GlibcFloor, StatCallsThroughTheOldEntryPointsMatchTheCurrentOnes) {
  char path[] = "/tmp/tov-glibc-floor-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "twelve bytes", 12), 12);
  struct stat expected {};
  ASSERT_EQ(stat(path, &expected), 0);
  struct stat by_path {
  }, by_link{}, by_fd{}, by_at{};
  EXPECT_EQ(__wrap_stat(path, &by_path), 0);
  EXPECT_EQ(__wrap_lstat(path, &by_link), 0);
  EXPECT_EQ(__wrap_fstat(fd, &by_fd), 0);
  EXPECT_EQ(__wrap_fstatat(AT_FDCWD, path, &by_at, 0), 0);
  for (const struct stat& got : {by_path, by_link, by_fd, by_at}) {
    EXPECT_EQ(got.st_ino, expected.st_ino);
    EXPECT_EQ(got.st_size, 12);
    EXPECT_EQ(got.st_mode, expected.st_mode);
  }
  close(fd);
  unlink(path);
  struct stat missing {};
  errno = 0;
  EXPECT_EQ(__wrap_stat(path, &missing), -1);
  EXPECT_EQ(errno, ENOENT);
}

// What the program reads back from errno after a failed call of the stat
// family, directly and through the C++ runtime, is the call's own error.
TEST(GlibcFloor, FailedStatCallsLeaveTheirErrorInErrno) {
  const char* missing = "/tmp/tov-glibc-floor-missing/file";
  struct stat info {};
  errno = 0;
  EXPECT_EQ(stat(missing, &info), -1);
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  EXPECT_EQ(lstat(missing, &info), -1);
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  EXPECT_EQ(fstat(-1, &info), -1);
  EXPECT_EQ(errno, EBADF);
  errno = 0;
  EXPECT_EQ(fstatat(AT_FDCWD, "", &info, 0), -1);
  EXPECT_EQ(errno, ENOENT);
  std::error_code error;
  EXPECT_FALSE(std::filesystem::is_symlink(missing, error));
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
  EXPECT_EQ(std::filesystem::file_size(missing, error), static_cast<std::uintmax_t>(-1));
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
}

TEST(GlibcFloor, SteadyClockWaitsEndAtTheirDeadlineOnTheSystemClock) {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
  for (const clockid_t clock : {CLOCK_MONOTONIC, CLOCK_REALTIME}) {
    struct timespec deadline {};
    clock_gettime(clock, &deadline);
    deadline.tv_nsec += 30'000'000;
    if (deadline.tv_nsec >= 1'000'000'000) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1'000'000'000;
    }
    pthread_mutex_lock(&mutex);
    const int result = tov::platform::clock_wait_by_realtime(&cond, &mutex, clock, &deadline);
    pthread_mutex_unlock(&mutex);
    EXPECT_EQ(result, ETIMEDOUT);
    struct timespec now {};
    clock_gettime(clock, &now);
    // Rounding between the two clocks may cost a microsecond, no more.
    const long long late =
        (now.tv_sec - deadline.tv_sec) * 1'000'000'000LL + (now.tv_nsec - deadline.tv_nsec);
    EXPECT_GE(late, -1'000'000) << "woke " << -late << " ns early on clock " << clock;
  }
}

TEST(GlibcFloor, RandomWordsVary) {
  std::set<unsigned int> seen;
  for (int i = 0; i < 8; ++i) seen.insert(__wrap_arc4random());
  EXPECT_GT(seen.size(), 1u);
}

}  // namespace

#endif
