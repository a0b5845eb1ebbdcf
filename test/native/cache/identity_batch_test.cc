#include "cache/identity_batch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "support/temp_dir.h"

namespace tov::cache {
namespace {

using test_support::TempDir;

struct Batch {
  std::vector<std::uint8_t> records;
  std::vector<std::int32_t> errors;
};

Batch query(const std::vector<std::string>& paths, std::size_t threads) {
  std::vector<std::string_view> views(paths.begin(), paths.end());
  Batch batch{std::vector<std::uint8_t>(paths.size() * kRecordSize, 0xAA),
              std::vector<std::int32_t>(paths.size(), 77)};
  query_identities(views, batch.records, batch.errors, threads);
  return batch;
}

TEST(IdentityBatch, RecordsMatchSingleQueriesOnAnyNumberOfThreads) {
  TempDir dir;
  std::vector<std::string> paths;
  // Past several chunks, with failures and directories spread through.
  for (int i = 0; i < 1500; ++i) {
    const std::string path = (dir.path() / "f").string() + std::to_string(i);
    if (i % 7 == 0) {
      paths.push_back(path + "-missing");
    } else if (i % 11 == 0) {
      paths.push_back(dir.path().string());
    } else {
      std::ofstream(path) << std::string(static_cast<std::size_t>(i), 'x');
      paths.push_back(path);
    }
  }
  paths.push_back(std::string("nul\0inside", 10));
  const Batch serial = query(paths, 1);
  for (std::size_t threads : {2u, 4u, 0u}) {
    const Batch parallel = query(paths, threads);
    EXPECT_EQ(parallel.records, serial.records) << threads;
    EXPECT_EQ(parallel.errors, serial.errors) << threads;
  }
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const std::uint8_t* record = serial.records.data() + i * kRecordSize;
    base::Result<platform::FileMetadata> single = platform::query_identity(paths[i]);
    if (!single.ok()) {
      EXPECT_NE(serial.errors[i], 0) << i;
      EXPECT_EQ(record[kKindOffset], 0) << "a failed path's record is zero";
      continue;
    }
    ASSERT_EQ(serial.errors[i], 0) << i;
    std::uint8_t expected[kRecordSize];
    encode_record(*single, expected);
    EXPECT_EQ(std::memcmp(record, expected, kRecordSize), 0) << i;
  }
  EXPECT_EQ(serial.errors.back(), kNotSystemError);
}

TEST(IdentityBatch, RecordLayout) {
  platform::FileMetadata identity;
  identity.device = 1;
  identity.inode = 2;
  identity.size = 3;
  identity.modified_ns = -4;
  identity.changed_ns = 5;
  identity.kind = platform::FileKind::kDirectory;
  std::uint8_t record[kRecordSize];
  std::memset(record, 0xAA, sizeof record);
  encode_record(identity, record);
  std::int64_t fields[5];
  std::memcpy(fields, record, sizeof fields);
  EXPECT_EQ(fields[0], 1);
  EXPECT_EQ(fields[1], 2);
  EXPECT_EQ(fields[2], 3);
  EXPECT_EQ(fields[3], -4);
  EXPECT_EQ(fields[4], 5);
  EXPECT_EQ(record[kKindOffset], 2);
  for (std::size_t i = kKindOffset + 1; i < kRecordSize; ++i) EXPECT_EQ(record[i], 0) << i;
}

}  // namespace
}  // namespace tov::cache
