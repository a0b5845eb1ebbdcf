#include "platform/read_ring.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace tov::platform {
namespace {

using test_support::numbered;
using test_support::patterned_bytes;
using test_support::TempDir;

// A request for `path` with a room of `capacity` bytes.
struct Read {
  std::string path;
  std::string room;
};

std::vector<ReadRing::Request> requests_for(std::vector<Read>& reads) {
  std::vector<ReadRing::Request> requests(reads.size());
  for (std::size_t i = 0; i < reads.size(); ++i) {
    requests[i].path = reads[i].path.c_str();
    requests[i].buffer = reads[i].room.data();
    requests[i].capacity = static_cast<std::uint32_t>(reads[i].room.size());
    requests[i].bytes_read = 12345;  // must be overwritten
    requests[i].system_code = 12345;
  }
  return requests;
}

ReadRing* ring_or_skip() {
  return ReadRing::for_this_thread();
}

#define REQUIRE_RING(ring)                                                \
  ReadRing* ring = ring_or_skip();                                        \
  if (ring == nullptr) GTEST_SKIP() << "this system offers no read ring"; \
  static_assert(true)

TEST(ReadRing, ReadsEachFileAndReportsEachFailure) {
  REQUIRE_RING(ring);
  TempDir dir;
  const std::string small = patterned_bytes(1000, 1);
  const std::string large = patterned_bytes(70000, 2);
  std::filesystem::create_directory(dir / "sub");
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  std::vector<Read> reads = {
      {dir.write("small", small), std::string(small.size() + 1, '\0')},  // whole, room to spare
      {dir.write("large", large), std::string(4096, '\0')},              // cut at the room
      {dir / "missing", std::string(16, '\0')},
      {dir / "sub", std::string(16, '\0')},
      {dir.write("empty", ""), std::string(16, '\0')},
      {fifo, std::string(16, '\0')},  // nobody writes: must not wait
  };
  std::vector<ReadRing::Request> requests = requests_for(reads);
  ASSERT_TRUE(test_support::finishes_despite_fifo(
      fifo, [&] { ASSERT_TRUE(ring->read_batch(requests)); }));

  EXPECT_TRUE(requests[0].ok);
  EXPECT_EQ(requests[0].bytes_read, 1000u);
  EXPECT_EQ(requests[0].system_code, 0);
  EXPECT_EQ(reads[0].room.substr(0, 1000), small);
  EXPECT_TRUE(requests[1].ok);
  EXPECT_EQ(requests[1].bytes_read, 4096u);
  EXPECT_EQ(reads[1].room, large.substr(0, 4096));
  EXPECT_FALSE(requests[2].ok);
  EXPECT_EQ(requests[2].system_code, ENOENT);
  EXPECT_EQ(requests[2].bytes_read, 0u);
  EXPECT_FALSE(requests[3].ok);
  EXPECT_EQ(requests[3].system_code, EISDIR);
  EXPECT_TRUE(requests[4].ok);
  EXPECT_EQ(requests[4].bytes_read, 0u);
  EXPECT_TRUE(requests[5].ok ? requests[5].bytes_read == 0 : requests[5].system_code == EAGAIN)
      << requests[5].system_code;

  EXPECT_TRUE(ring->read_batch({}));
  std::vector<ReadRing::Request> too_many(ReadRing::kMaxBatch + 1);
  EXPECT_FALSE(ring->read_batch(too_many));
}

TEST(ReadRing, FullBatchesOneAfterAnother) {
  REQUIRE_RING(ring);
  TempDir dir;
  // Every slot is used again in each round; a file left behind in a slot
  // would show up as another round's content.
  for (unsigned round = 0; round < 20; ++round) {
    std::vector<std::string> contents;
    std::vector<Read> reads;
    for (std::size_t i = 0; i < ReadRing::kMaxBatch; ++i) {
      contents.push_back(patterned_bytes(100 + i * 37 + round, round * 100 + unsigned(i)));
      // Every fifth path is missing, in a different place each round.
      const bool missing = (i + round) % 5 == 0;
      const std::string name = numbered(numbered("r", round) + "-", i);
      reads.push_back({missing ? dir / name : dir.write(name, contents.back()),
                       std::string(contents.back().size() + 1, '\0')});
    }
    std::vector<ReadRing::Request> requests = requests_for(reads);
    ASSERT_TRUE(ring->read_batch(requests));
    for (std::size_t i = 0; i < reads.size(); ++i) {
      if ((i + round) % 5 == 0) {
        EXPECT_FALSE(requests[i].ok) << round << "/" << i;
        EXPECT_EQ(requests[i].system_code, ENOENT) << round << "/" << i;
      } else {
        ASSERT_TRUE(requests[i].ok) << round << "/" << i;
        ASSERT_EQ(requests[i].bytes_read, contents[i].size()) << round << "/" << i;
        EXPECT_EQ(reads[i].room.substr(0, contents[i].size()), contents[i]) << round << "/" << i;
      }
    }
  }
}

TEST(ReadRing, EachThreadHasItsOwn) {
  REQUIRE_RING(ring);
  ReadRing* other = nullptr;
  std::thread([&] { other = ReadRing::for_this_thread(); }).join();
  EXPECT_NE(other, nullptr);
  EXPECT_NE(other, ring);
  EXPECT_EQ(ReadRing::for_this_thread(), ring);
}

}  // namespace
}  // namespace tov::platform
