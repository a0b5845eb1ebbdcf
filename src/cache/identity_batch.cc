#include "cache/identity_batch.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace tov::cache {

namespace {

// Paths a thread takes at a time: large enough that the shared counter is
// rare, small enough that threads finish together.
constexpr std::size_t kChunk = 256;

void put64(std::uint8_t* at, std::uint64_t value) {
  std::memcpy(at, &value, sizeof value);
}

void query_range(std::span<const std::string_view> paths, std::span<std::uint8_t> records,
                 std::span<std::int32_t> errors, std::size_t begin, std::size_t end) {
  for (std::size_t i = begin; i < end; ++i) {
    std::uint8_t* record = records.data() + i * kRecordSize;
    base::Result<platform::FileMetadata> identity = platform::query_identity(paths[i]);
    if (identity) {
      encode_record(*identity, record);
      errors[i] = 0;
    } else {
      std::memset(record, 0, kRecordSize);
      const std::int32_t code = identity.error().system_code();
      errors[i] = code > 0 ? code : kNotSystemError;
    }
  }
}

// Joins its threads when it goes away, however the caller leaves.
class ThreadGroup {
 public:
  ~ThreadGroup() {
    for (std::thread& thread : threads_) thread.join();
  }
  template <class Fn>
  void start(Fn&& fn) {
    threads_.emplace_back(std::forward<Fn>(fn));
  }

 private:
  std::vector<std::thread> threads_;
};

}  // namespace

void encode_record(const platform::FileMetadata& identity, std::uint8_t* record) {
  std::memset(record, 0, kRecordSize);
  put64(record, identity.device);
  put64(record + 8, identity.inode);
  put64(record + 16, identity.size);
  put64(record + 24, static_cast<std::uint64_t>(identity.modified_ns));
  put64(record + 32, static_cast<std::uint64_t>(identity.changed_ns));
  record[kKindOffset] = static_cast<std::uint8_t>(identity.kind);
}

void query_identities(std::span<const std::string_view> paths, std::span<std::uint8_t> records,
                      std::span<std::int32_t> errors, std::size_t threads) {
  const std::size_t count = std::min({paths.size(), records.size() / kRecordSize, errors.size()});
  if (threads == 0) threads = platform::available_cpus();
  threads = std::min(threads, (count + kChunk - 1) / kChunk);
  if (threads <= 1) {
    query_range(paths, records, errors, 0, count);
    return;
  }
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (;;) {
      const std::size_t begin = next.fetch_add(kChunk, std::memory_order_relaxed);
      if (begin >= count) return;
      query_range(paths, records, errors, begin, std::min(begin + kChunk, count));
    }
  };
  {
    ThreadGroup group;
    // A thread that cannot be started leaves its share to the others and to
    // the caller's own thread, which always works too.
    try {
      for (std::size_t i = 1; i < threads; ++i) group.start(work);
    } catch (const std::system_error&) {
    }
    work();
  }
}

}  // namespace tov::cache
