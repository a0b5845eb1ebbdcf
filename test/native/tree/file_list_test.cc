#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "hashing/digest.h"
#include "support/temp_dir.h"
#include "tree/file_list.h"

namespace tov::tree {
namespace {

using hashing::FileOutcome;
using test_support::TempDir;

PathList list_of(const std::vector<std::string>& paths) {
  PathList list;
  list.reserve(paths.size(), 0);
  for (const std::string& path : paths) list.add(path);
  return list;
}

ListReport hash_all(const std::vector<std::string>& paths,
                    std::vector<platform::FileIdentity> leave_out = {}) {
  base::Result<ListReport> report = hash_list(list_of(paths), leave_out);
  EXPECT_TRUE(report.ok());
  return report ? std::move(report).value() : ListReport{};
}

std::string reason(const FileOutcome& outcome) {
  return outcome.reason ? outcome.reason->description() : "<none>";
}

platform::FileIdentity identity_of(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0);
  return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

// Whatever took a listed file's place is reported with the reason of the
// one attempt, and nothing but a regular file is ever read: a FIFO or a link
// to an endless device would otherwise hang the list.
TEST(FileList, GivesEveryPathAnOutcomeWithTheReasonOfItsOneAttempt) {
  TempDir dir;
  const std::string a = dir.write("a", "contents of a");
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", dir / "zero");
  std::filesystem::create_directory(dir / "sub");
  const std::vector<std::string> paths = {
      a, dir / "missing", fifo, dir / "zero", dir / "sub", a + std::string(1, '\0'), a,
  };
  // Several sizes so that both the ring and the one-path route are taken.
  for (std::size_t count : {std::size_t{1}, std::size_t{2}, paths.size()}) {
    const std::vector<std::string> some(paths.begin(), paths.begin() + count);
    ListReport report;
    ASSERT_TRUE(test_support::finishes_despite_fifo(fifo, [&] { report = hash_all(some); }));
    ASSERT_EQ(report.outcomes.size(), count);
    EXPECT_EQ(report.outcomes[0].kind, FileOutcome::Kind::kHashed);
    EXPECT_EQ(report.outcomes[0].digest, hashing::sha256("contents of a"));
    if (count == 1) continue;
    EXPECT_EQ(reason(report.outcomes[1]), "No such file or directory (os error 2)");
    if (count == 2) continue;
    for (std::size_t i : {2, 3, 4}) {
      EXPECT_EQ(report.outcomes[i].kind, FileOutcome::Kind::kFailed) << i;
      EXPECT_EQ(reason(report.outcomes[i]), "not a regular file") << i;
    }
    EXPECT_EQ(report.outcomes[5].kind, FileOutcome::Kind::kFailed);
    EXPECT_EQ(report.outcomes[6].digest, report.outcomes[0].digest);
    EXPECT_EQ(report.bytes, 2 * std::string("contents of a").size());
  }
}

TEST(FileList, LeavesOutFilesByIdentityUnderAnyNameButReadsTheRest) {
  TempDir dir;
  const std::string out = dir.write("out", "being written");
  const std::string kept = dir.write("kept", "kept");
  std::filesystem::create_symlink(out, dir / "alias");
  std::filesystem::create_hard_link(out, dir / "twin");
  // Large enough to be streamed rather than read whole.
  const std::string big = dir.write("big", std::string(300 * 1024, 'x'));
  const ListReport report =
      hash_all({kept, dir / "alias", out, dir / "twin", big}, {identity_of(out)});
  ASSERT_EQ(report.outcomes.size(), 5u);
  EXPECT_EQ(report.outcomes[0].kind, FileOutcome::Kind::kHashed);
  for (std::size_t i : {1, 2, 3})
    EXPECT_EQ(report.outcomes[i].kind, FileOutcome::Kind::kLeftOut) << i;
  EXPECT_EQ(report.outcomes[4].digest, hashing::sha256(std::string(300 * 1024, 'x')));
  EXPECT_EQ(report.bytes, 4 + 300 * 1024u);
  EXPECT_EQ(hash_all({out}, {identity_of(out)}).outcomes[0].kind, FileOutcome::Kind::kLeftOut);
}

}  // namespace
}  // namespace tov::tree
#endif
