#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "hashing/batch.h"
#include "hashing/digest.h"
#include "platform/file_identity.h"
#include "support/temp_dir.h"

namespace tov::hashing {
namespace {

using test_support::TempDir;

std::vector<std::size_t> indexes_of(const std::vector<BatchHit>& hits) {
  std::vector<std::size_t> indexes;
  for (const auto& hit : hits) indexes.push_back(hit.index);
  return indexes;
}

std::vector<BatchHit> hash_all(const std::vector<std::string>& paths) {
  const std::vector<std::string_view> views(paths.begin(), paths.end());
  base::Result<std::vector<BatchHit>> hashed = hash_files(views);
  EXPECT_TRUE(hashed.ok());
  return hashed ? std::move(hashed).value() : std::vector<BatchHit>{};
}

TEST(Batch, KeepsOnlyReadableRegularFilesInInputOrder) {
  TempDir dir;
  const std::string a = dir.write("a.txt", "first file");
  const std::string b = dir.write("b.txt", "second file");
  std::filesystem::create_directory(dir / "sub");
  std::filesystem::create_symlink(a, dir / "link-to-a");
  std::filesystem::create_symlink(dir / "sub", dir / "link-to-dir");
  std::filesystem::create_symlink(dir / "gone", dir / "dangling");
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  const std::vector<std::string> paths = {
      a,                         // 0 kept
      dir / "missing",           // 1
      dir / "sub",               // 2 directory
      b,                         // 3 kept
      dir / "link-to-a",         // 4 kept, digest of a
      dir / "link-to-dir",       // 5
      dir / "dangling",          // 6
      a,                         // 7 kept again
      "",                        // 8
      a + std::string(1, '\0'),  // 9 NUL: would name a if it reached the system
      fifo,                      // 10
      dir / "sub/../a.txt",      // 11 kept, same file by another spelling
  };
  std::vector<BatchHit> hits;
  EXPECT_TRUE(test_support::finishes_despite_fifo(fifo, [&] { hits = hash_all(paths); }));
  ASSERT_EQ(indexes_of(hits), (std::vector<std::size_t>{0, 3, 4, 7, 11}));
  const Digest digest_a = sha256("first file");
  EXPECT_EQ(hits[0].digest, digest_a);
  EXPECT_EQ(hits[1].digest, sha256("second file"));
  EXPECT_EQ(hits[2].digest, digest_a);
  EXPECT_EQ(hits[3].digest, digest_a);
  EXPECT_EQ(hits[4].digest, digest_a);
}

TEST(Batch, NothingReadableGivesNoHits) {
  TempDir dir;
  EXPECT_TRUE(hash_all({}).empty());
  EXPECT_TRUE(hash_all({dir / "missing", dir.path().string(), ""}).empty());
  EXPECT_TRUE(hash_all({dir / "missing"}).empty());
}

TEST(Batch, EmptyAndProcFiles) {
  TempDir dir;
  EXPECT_EQ(hash_all({dir.write("one", "abc")})[0].digest, sha256("abc"));
  const auto hits = hash_all({dir.write("empty", ""), "/proc/version"});
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(to_hex(hits[0].digest),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  // Reports size 0, yet its content is digested.
  const std::string proc = test_support::file_bytes("/proc/version");
  ASSERT_GT(proc.size(), 0u);
  EXPECT_EQ(hits[1].digest, sha256(proc));
}

TEST(Batch, StreamedDigestMatchesWholeFileDigest) {
  TempDir dir;
  // Sizes around the streaming chunk so that the last chunk is full, short
  // or a single byte.
  std::vector<std::string> paths;
  for (const std::size_t size :
       {std::size_t{1}, std::size_t{256 * 1024 - 1}, std::size_t{256 * 1024},
        std::size_t{256 * 1024 + 1}, std::size_t{5 * 1024 * 1024 + 77}}) {
    paths.push_back(dir.write(test_support::numbered("s", size),
                              test_support::patterned_bytes(size, static_cast<unsigned>(size))));
  }
  const auto hits = hash_all(paths);
  ASSERT_EQ(hits.size(), paths.size());
  for (std::size_t i = 0; i < paths.size(); ++i) {
    EXPECT_EQ(hits[i].digest, sha256(test_support::file_bytes(paths[i]))) << i;
    const base::Result<Digest> single = hash_regular_file(paths[i]);
    ASSERT_TRUE(single.ok()) << single.error().description();
    EXPECT_EQ(*single, hits[i].digest) << i;
  }
}

TEST(Batch, ThousandsOfFilesKeepTheirOrder) {
  TempDir dir;
  // A large file first: later entries must not overtake it in the result.
  std::vector<std::string> paths = {dir.write("big", test_support::patterned_bytes(24 << 20))};
  std::vector<std::string> contents = {""};
  for (int i = 0; i < 3000; ++i) {
    if (i % 7 == 3) {
      paths.push_back(dir / test_support::numbered("absent-", static_cast<std::size_t>(i)));
      contents.push_back("");
      continue;
    }
    contents.push_back(test_support::numbered("file number ", static_cast<std::size_t>(i)));
    paths.push_back(
        dir.write(test_support::numbered("f", static_cast<std::size_t>(i)), contents.back()));
  }
  const auto hits = hash_all(paths);
  std::vector<std::size_t> expected_indexes;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (i == 0 || (i - 1) % 7 != 3) expected_indexes.push_back(i);
  }
  ASSERT_EQ(indexes_of(hits), expected_indexes);
  EXPECT_EQ(hits[0].digest, sha256(test_support::patterned_bytes(24 << 20)));
  for (std::size_t k = 1; k < hits.size(); ++k) {
    ASSERT_EQ(hits[k].digest, sha256(contents[hits[k].index])) << hits[k].index;
  }
}

// Files past the ring's limit go through the lanes several at a time, taken
// from one list by every worker: more of them than the lanes hold at once,
// of lengths that end in every padding case, between small files and gaps.
TEST(Batch, StreamedFilesSharingTheLanesKeepTheirDigestsAndOrder) {
  TempDir dir;
  std::vector<std::string> paths;
  std::vector<std::string> contents;
  for (std::size_t i = 0; i < 90; ++i) {
    const std::size_t size =
        i % 4 == 3 ? i * 37 % 3000 : 65 * 1024 + i * 4099 % (700 * 1024) + (i % 9) * 7;
    contents.push_back(test_support::patterned_bytes(size, static_cast<unsigned>(i)));
    paths.push_back(dir.write(test_support::numbered("m", i), contents.back()));
    if (i % 11 == 2) {
      paths.push_back(dir / test_support::numbered("absent-", i));
      contents.push_back("");
    }
  }
  const std::vector<std::string_view> views(paths.begin(), paths.end());
  for (const bool use_ring : {true, false}) {
    const auto hits = hash_files(views, use_ring).value();
    std::size_t k = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
      if (paths[i].find("absent-") != std::string::npos) continue;
      ASSERT_LT(k, hits.size());
      ASSERT_EQ(hits[k].index, i) << "ring " << use_ring;
      EXPECT_EQ(hits[k].digest, sha256(contents[i])) << "ring " << use_ring << ", path " << i;
      ++k;
    }
    EXPECT_EQ(k, hits.size());
  }
}

// The ring reads small files whole and hands anything unusual back to the
// file-by-file path; both ways must give the same hits for every kind of path.
TEST(Batch, RingAndFileByFileAgree) {
  TempDir dir;
  std::filesystem::create_directory(dir / "sub");
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string first = dir.write("first", "first");
  std::filesystem::create_symlink(first, dir / "link");
  std::filesystem::create_symlink(dir / "gone", dir / "dangling");

  std::vector<std::string> paths;
  std::size_t n = 0;
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{65535},
                                 std::size_t{65536}, std::size_t{65537}, std::size_t{300000}}) {
    paths.push_back(dir.write(test_support::numbered("edge", size),
                              test_support::patterned_bytes(size, static_cast<unsigned>(size))));
  }
  const std::vector<std::string> odd = {
      dir / "missing",
      dir / "sub",
      fifo,
      dir / "link",
      dir / "dangling",
      first + std::string(1, '\0'),
      "/proc/version",  // reports size 0
      // Reports a page's size but holds a few bytes: the ring's read comes
      // back short and the file is read again, to its end.
      "/sys/kernel/mm/transparent_hugepage/enabled",
  };
  for (int i = 0; i < 400; ++i) {
    if (i % 23 == 5) {
      paths.push_back(odd[n++ % odd.size()]);
    } else {
      const std::size_t size = (static_cast<std::size_t>(i) * 7919) % 20000;
      paths.push_back(dir.write(test_support::numbered("f", static_cast<std::size_t>(i)),
                                test_support::patterned_bytes(size, static_cast<unsigned>(i))));
    }
  }
  // A run of files near the size limit: together more than one batch may
  // read at once, so some of each block are streamed instead.
  for (int i = 0; i < 40; ++i) {
    const std::size_t size = 60000 + static_cast<std::size_t>(i);
    paths.push_back(dir.write(test_support::numbered("near-limit", size),
                              test_support::patterned_bytes(size, static_cast<unsigned>(size))));
  }
  const std::vector<std::string_view> views(paths.begin(), paths.end());
  std::vector<BatchHit> ring;
  std::vector<BatchHit> plain;
  ASSERT_TRUE(test_support::finishes_despite_fifo(fifo, [&] {
    ring = hash_files(views, true).value();
    plain = hash_files(views, false).value();
  }));
  ASSERT_EQ(indexes_of(ring), indexes_of(plain));
  for (std::size_t k = 0; k < ring.size(); ++k) {
    const std::string& path = paths[ring[k].index];
    EXPECT_EQ(ring[k].digest, plain[k].digest) << path;
    EXPECT_EQ(ring[k].digest, sha256(test_support::file_bytes(path))) << path;
  }
  // Only the missing, the directory, the FIFO, the dangling link and the NUL
  // path are left out.
  std::size_t left_out = 0;
  for (const std::string& path : paths) {
    left_out +=
        (path == odd[0] || path == odd[1] || path == odd[2] || path == odd[4] || path == odd[5])
            ? 1
            : 0;
  }
  EXPECT_EQ(ring.size(), paths.size() - left_out);
}

// A content cache keeps a read file by the metadata its read saw: whichever
// way the file was read (the ring, the lanes, one at a time), the outcome
// carries the query or open that came before the read.
TEST(Batch, EveryHashedFileCarriesTheMetadataSeenBeforeItsRead) {
  TempDir dir;
  std::vector<std::string> paths;
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{65535},
                                 std::size_t{65537}, std::size_t{300000}}) {
    paths.push_back(dir.write(test_support::numbered("size", size),
                              test_support::patterned_bytes(size, static_cast<unsigned>(size))));
  }
  for (std::size_t i = 0; i < 60; ++i) {
    paths.push_back(dir.write(test_support::numbered("small", i),
                              test_support::patterned_bytes(100 + i, static_cast<unsigned>(i))));
  }
  std::filesystem::create_symlink(paths[1], dir / "link");
  paths.push_back(dir / "link");
  const std::vector<std::string_view> views(paths.begin(), paths.end());
  for (const bool ring : {true, false}) {
    const std::vector<FileOutcome> outcomes = hash_each_file(views, {}, ring).value();
    ASSERT_EQ(outcomes.size(), paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
      const platform::FileStatus& status = outcomes[i].status;
      const platform::FileMetadata now = platform::query_identity(paths[i]).value();
      ASSERT_EQ(outcomes[i].kind, FileOutcome::Kind::kHashed) << paths[i];
      EXPECT_TRUE(status.is_regular) << paths[i];
      EXPECT_EQ(status.size, now.size) << paths[i];
      if (platform::FileIdentity{now.device, now.inode}.known()) {
        EXPECT_EQ(status.identity, (platform::FileIdentity{now.device, now.inode})) << paths[i];
      }
#ifndef _WIN32
      ASSERT_TRUE(status.metadata) << paths[i];
      EXPECT_EQ(status.metadata->modified_ns, now.modified_ns) << paths[i];
      EXPECT_EQ(status.metadata->changed_ns, now.changed_ns) << paths[i];
#endif
    }
  }
  const std::vector<FileOutcome> one = hash_each_file(std::span(views).subspan(4, 1)).value();
  EXPECT_EQ(one[0].status.size, 300000u);
#ifndef _WIN32
  ASSERT_TRUE(one[0].status.metadata);
  EXPECT_EQ(one[0].status.metadata->changed_ns,
            platform::query_identity(paths[4]).value().changed_ns);
#endif
}

}  // namespace
}  // namespace tov::hashing
