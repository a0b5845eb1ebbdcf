#include "platform/read_ring.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

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
  ASSERT_TRUE(
      test_support::finishes_despite_fifo(fifo, [&] { ASSERT_TRUE(ring->read_batch(requests)); }));

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
  EXPECT_FALSE(requests[2].not_regular);
  EXPECT_FALSE(requests[3].ok);
  EXPECT_TRUE(requests[3].not_regular);
  EXPECT_EQ(requests[3].system_code, 0);
  EXPECT_TRUE(requests[4].ok);
  EXPECT_EQ(requests[4].bytes_read, 0u);
  EXPECT_FALSE(requests[5].ok);
  EXPECT_TRUE(requests[5].not_regular);

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

// What the caller took for a regular file may be a FIFO by the time the ring
// opens it, holding another process's data: the ring must leave the data
// where it is.
TEST(ReadRing, NeverReadsAFifoThatTookAFilesPlace) {
  REQUIRE_RING(ring);
  TempDir dir;
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::write(writer, "FIFODATA!!", 10), 10);
  const std::string file = dir.write("file", "regular");
  const std::size_t descriptors = test_support::open_descriptor_count();

  std::vector<Read> reads = {{file, std::string(8, '\0')}, {fifo, std::string(11, '\0')}};
  std::vector<ReadRing::Request> requests = requests_for(reads);
  ASSERT_TRUE(ring->read_batch(requests));
  EXPECT_TRUE(requests[0].ok);
  EXPECT_EQ(requests[0].bytes_read, 7u);
  EXPECT_FALSE(requests[1].ok);
  EXPECT_TRUE(requests[1].not_regular);
  EXPECT_EQ(reads[1].room, std::string(11, '\0'));
  EXPECT_EQ(test_support::open_descriptor_count(), descriptors);  // everything opened is closed

  char left[16] = {};
  EXPECT_EQ(::read(reader, left, sizeof left), 10);
  EXPECT_EQ(std::string(left, 10), "FIFODATA!!");
  ::close(writer);
  ::close(reader);
}

// Fills the descriptor table, under a lowered limit so that it fills fast,
// and gives it back when the object goes away, whatever the test's outcome.
class FullDescriptorTable {
 public:
  FullDescriptorTable() {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit low = saved_;
    low.rlim_cur = test_support::open_descriptor_count() + 16;
    ::setrlimit(RLIMIT_NOFILE, &low);
    for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) fillers_.push_back(fd);
    full_ = errno == EMFILE;
  }
  ~FullDescriptorTable() {
    for (int fd : fillers_) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved_);
  }
  FullDescriptorTable(const FullDescriptorTable&) = delete;
  FullDescriptorTable& operator=(const FullDescriptorTable&) = delete;

  bool full() const { return full_; }
  void free_one() {
    ::close(fillers_.back());
    fillers_.pop_back();
  }

 private:
  rlimit saved_;
  std::vector<int> fillers_;
  bool full_ = false;
};

// Files the ring cannot open for want of descriptors fail alone, with the
// reason; and a thread whose ring could not be set up for that reason gets
// one once descriptors are free again.
TEST(ReadRing, AFullDescriptorTableFailsRequestsAndDelaysTheRing) {
  REQUIRE_RING(ring);
  TempDir dir;
  const std::string file = dir.write("file", "abc");
  std::vector<Read> reads = {{file, std::string(4, '\0')}, {file, std::string(4, '\0')}};
  std::vector<ReadRing::Request> requests = requests_for(reads);
  {
    FullDescriptorTable table;
    ASSERT_TRUE(table.full());
    ASSERT_TRUE(ring->read_batch(requests));
    for (const ReadRing::Request& request : requests) {
      EXPECT_FALSE(request.ok);
      EXPECT_EQ(request.system_code, EMFILE);
    }
  }
  // The thread starts before the table fills: the sanitizers' checks of its
  // start need a descriptor.
  bool full = false;
  bool set_up_while_full = true;
  bool set_up_later = false;
  std::thread([&] {
    FullDescriptorTable table;
    full = table.full();
    set_up_while_full = ReadRing::for_this_thread() != nullptr;
    table.free_one();
    set_up_later = ReadRing::for_this_thread() != nullptr;
  }).join();
  ASSERT_TRUE(full);
  EXPECT_FALSE(set_up_while_full);
  EXPECT_TRUE(set_up_later);

  requests = requests_for(reads);
  ASSERT_TRUE(ring->read_batch(requests));
  for (const ReadRing::Request& request : requests) {
    EXPECT_TRUE(request.ok);
    EXPECT_EQ(request.bytes_read, 3u);
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
