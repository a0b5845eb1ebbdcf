// Windows paths and Windows error texts, at the platform layer and through
// the file digest that fileHash and batchFileHash use.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>

#include "hashing/digest.h"
#include "hashing/file_digest.h"
#include "platform/file.h"
#include "platform/platform.h"
#include "support/temp_dir.h"

namespace tov {
namespace {

using test_support::TempDir;

std::string utf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// The hex digest of the file at `path`, or its error's description.
std::string read_text(const std::string& path) {
  const base::Result<hashing::Digest> result = hashing::hash_file(path);
  if (!result.ok()) return "error: " + result.error().description();
  return hashing::to_hex(*result);
}

std::string digest_of(std::string_view text) {
  return hashing::hex_digest(text);
}

std::string backslashes(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

std::string forward_slashes(std::string path) {
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::filesystem::path& to)
      : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(to);
  }
  ~CurrentDirectory() { std::filesystem::current_path(previous_); }

 private:
  std::filesystem::path previous_;
};

TEST(WindowsPaths, EveryFormOfOnePathReadsTheSameFile) {
  const TempDir dir;
  const std::string file = backslashes(dir.write("same.txt", "contents"));
  ASSERT_EQ(file[1], ':') << "the temporary directory has no drive letter: " << file;

  EXPECT_EQ(read_text(file), digest_of("contents"));
  EXPECT_EQ(read_text(forward_slashes(file)), digest_of("contents"));
  EXPECT_EQ(read_text("\\\\?\\" + file), digest_of("contents"));
  EXPECT_EQ(read_text("\\??\\" + file), digest_of("contents"));
  // A device path: two separators, handed over as it is.
  EXPECT_EQ(read_text("\\\\.\\" + file), digest_of("contents"));
  {
    const CurrentDirectory here(dir.path());
    // A root path without a drive, resolved against the current drive.
    EXPECT_EQ(read_text(file.substr(2)), digest_of("contents"));
    EXPECT_EQ(read_text("same.txt"), digest_of("contents"));
    EXPECT_EQ(read_text(".\\same.txt"), digest_of("contents"));
    EXPECT_EQ(read_text("sub\\..\\same.txt"), digest_of("contents"));
  }
}

TEST(WindowsPaths, RelativePathsResolveAtTheTimeOfTheOpen) {
  const TempDir first;
  const TempDir second;
  first.write("which.txt", "first");
  second.write("which.txt", "second");
  {
    const CurrentDirectory here(first.path());
    EXPECT_EQ(read_text("which.txt"), digest_of("first"));
  }
  const CurrentDirectory here(second.path());
  EXPECT_EQ(read_text("which.txt"), digest_of("second"));
}

TEST(WindowsPaths, PathsOverTheLegacyLimitOpen) {
  const TempDir dir;
  // Directories of 50 characters each, down to a path of more than 300.
  std::filesystem::path deep = dir.path();
  std::string relative;
  for (int level = 0; level < 6; ++level) {
    const std::string name(50, static_cast<char>('a' + level));
    deep /= name;
    relative += name + "\\";
  }
  std::filesystem::create_directories(std::filesystem::path(L"\\\\?\\" + deep.wstring()));
  const std::string file = backslashes(utf8(deep / "long.txt"));
  ASSERT_GT(file.size(), 300u);
  {
    const HANDLE out = ::CreateFileW((L"\\\\?\\" + (deep / "long.txt").wstring()).c_str(),
                                     GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(out, "deep", 4, &written, nullptr));
    ::CloseHandle(out);
  }

  EXPECT_EQ(read_text(file), digest_of("deep"));
  EXPECT_EQ(read_text(forward_slashes(file)), digest_of("deep"));
  EXPECT_EQ(read_text("\\\\?\\" + file), digest_of("deep"));
  const base::Result<platform::FileStatus> status = platform::query_path(file);
  ASSERT_TRUE(status.ok());
  EXPECT_TRUE(status->is_regular);
  EXPECT_EQ(status->size, 4u);
  const CurrentDirectory here(dir.path());
  EXPECT_EQ(read_text(relative + "long.txt"), digest_of("deep"));

  // Best effort: the extended form reaches what a plain path could not.
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(L"\\\\?\\" + dir.path().wstring()), ignored);
}

TEST(WindowsPaths, AstralAndOtherNonAsciiNames) {
  const TempDir dir;
  const std::filesystem::path name = std::filesystem::path(u8"\U0001F600 caf\u00e9 \u65e5\u672c.txt");
  {
    std::ofstream out(dir.path() / name, std::ios::binary);
    out << "smile";
  }
  const std::string file = utf8(dir.path() / name);
  EXPECT_EQ(read_text(file), digest_of("smile"));
  EXPECT_TRUE(platform::query_path(file).ok());
  // A lone surrogate's replacement names another file, which is not there.
  EXPECT_EQ(read_text(utf8(dir.path()) + "\\\xEF\xBF\xBD.txt"),
            "error: " + platform::os_error_description(ERROR_FILE_NOT_FOUND));
}

TEST(WindowsErrors, FailuresCarryTheSystemsTextsAndCodes) {
  const TempDir dir;
  const auto error_text = [](DWORD code) {
    return "error: " + platform::os_error_description(static_cast<int>(code));
  };
  EXPECT_EQ(read_text(dir / "missing.txt"), error_text(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(read_text(dir / "no-dir\\missing.txt"), error_text(ERROR_PATH_NOT_FOUND));
  // A directory cannot be opened for reading its contents.
  EXPECT_EQ(read_text(utf8(dir.path())), error_text(ERROR_ACCESS_DENIED));
  EXPECT_EQ(read_text(std::string("a\0b", 3)), "error: strings passed to WinAPI cannot contain NULs");

  // Another opener that shares nothing keeps the file from being read.
  const std::string locked = dir.write("locked.txt", "secret");
  const HANDLE holder = ::CreateFileW(std::filesystem::path(locked).c_str(), GENERIC_READ, 0,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_EQ(read_text(locked), error_text(ERROR_SHARING_VIOLATION));
  ::CloseHandle(holder);
  EXPECT_EQ(read_text(locked), digest_of("secret"));

  // Readers here share everything: a writer and a deleter elsewhere go on.
  const HANDLE writer =
      ::CreateFileW(std::filesystem::path(locked).c_str(), GENERIC_WRITE | DELETE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  platform::File file;
  ASSERT_TRUE(file.open_for_reading(locked).ok());
  ::CloseHandle(writer);
}

TEST(WindowsErrors, DescriptionForms) {
  const std::string missing = platform::os_error_description(ERROR_FILE_NOT_FOUND);
  const std::string suffix = " (os error 2)";
  ASSERT_GT(missing.size(), suffix.size());
  EXPECT_EQ(missing.substr(missing.size() - suffix.size()), suffix);
  // The system's text ends in a line break, which is cut.
  const char before = missing[missing.size() - suffix.size() - 1];
  EXPECT_NE(before, '\n');
  EXPECT_NE(before, '\r');
  EXPECT_NE(before, ' ');
  EXPECT_EQ(platform::os_error_description(ERROR_SHARING_VIOLATION).find("(os error 32)") ==
                std::string::npos,
            false);

  // A code the system has no message for.
  const int unknown = 0x2000abcd;
  const std::string text = platform::os_error_description(unknown);
  EXPECT_EQ(text, "OS Error " + std::to_string(unknown) + " (FormatMessageW() returned error " +
                      std::to_string(ERROR_MR_MID_NOT_FOUND) + ")");
}

TEST(WindowsFiles, QueryFollowsLinksAndTellsDirectoriesApart) {
  const TempDir dir;
  const std::string file = dir.write("file.txt", "12345");
  base::Result<platform::FileStatus> status = platform::query_path(file);
  ASSERT_TRUE(status.ok());
  EXPECT_TRUE(status->is_regular);
  EXPECT_EQ(status->size, 5u);
  status = platform::query_path(utf8(dir.path()));
  ASSERT_TRUE(status.ok());
  EXPECT_FALSE(status->is_regular);
  EXPECT_FALSE(platform::query_path(dir / "missing").ok());
  EXPECT_FALSE(platform::query_path("").ok());

  std::error_code no_links;
  std::filesystem::create_symlink(file, dir.path() / "link.txt", no_links);
  if (no_links) GTEST_SKIP() << "symbolic links cannot be made here: " << no_links.message();
  status = platform::query_path(dir / "link.txt");
  ASSERT_TRUE(status.ok());
  EXPECT_TRUE(status->is_regular);
  EXPECT_EQ(status->size, 5u);
}

TEST(WindowsFiles, ReadsLargeFilesToTheEnd) {
  const TempDir dir;
  const std::string bytes = test_support::patterned_bytes((3 << 20) + 17);
  const std::string file = dir.write("large.bin", bytes);
  EXPECT_EQ(read_text(file), digest_of(bytes));
}

TEST(WindowsPlatform, ProcessorCountIsPositive) {
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  const std::size_t count = platform::available_cpus();
  EXPECT_GE(count, 1u);
  EXPECT_LE(count, info.dwNumberOfProcessors);
}

}  // namespace
}  // namespace tov
