// Multi-buffer SHA-256 against the single-stream digest. The input is cut
// into messages (a length byte pair, then that many bytes); every kernel the
// processor has hashes the whole set at every lane count, once with each
// message whole and once fed in pieces whose sizes the input also picks.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "hashing/digest.h"
#include "hashing/multi_digest.h"

using namespace tov::hashing;

namespace {

struct Message {
  std::span<const std::uint8_t> bytes;
  std::size_t piece;  // feed size in the piecewise pass, at least 1
};

class Pieces final : public MessageSource {
 public:
  Pieces(const std::vector<Message>& messages, std::vector<Digest>& out)
      : messages_(messages), out_(out) {}
  bool open(std::size_t lane) override {
    if (next_ == messages_.size()) return false;
    current_[lane] = next_++;
    offset_[lane] = 0;
    return true;
  }
  bool read(std::size_t lane, std::span<const std::uint8_t>& bytes) override {
    const Message& m = messages_[current_[lane]];
    bytes = m.bytes.subspan(offset_[lane], std::min(m.piece, m.bytes.size() - offset_[lane]));
    offset_[lane] += bytes.size();
    return true;
  }
  void finish(std::size_t lane, const Digest& digest) override { out_[current_[lane]] = digest; }

 private:
  const std::vector<Message>& messages_;
  std::vector<Digest>& out_;
  std::size_t next_ = 0;
  std::size_t current_[lanes::kMaxLanes] = {};
  std::size_t offset_[lanes::kMaxLanes] = {};
};

void check(bool same, const char* kernel, std::size_t lanes, std::size_t message, const char* how) {
  if (same) return;
  std::fprintf(stderr, "%s x%zu, message %zu (%s) differs from the single-stream digest\n", kernel,
               lanes, message, how);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<Message> messages;
  std::size_t at = 0;
  while (at + 3 <= size) {
    const std::size_t room = size - at - 3;
    const std::size_t length = (std::size_t{data[at]} << 8 | data[at + 1]) % (room + 1);
    const std::size_t piece = std::size_t{data[at + 2]} + 1;
    at += 3;
    messages.push_back({std::span(data + at, length), piece});
    at += length;
  }
  std::vector<Digest> expected;
  for (const Message& m : messages) expected.push_back(sha256(m.bytes.data(), m.bytes.size()));
  std::vector<std::span<const std::uint8_t>> whole;
  for (const Message& m : messages) whole.push_back(m.bytes);

  for (lanes::Kernel kernel : lanes::compiled_kernels()) {
    if (!lanes::kernel_supported(kernel)) continue;
    for (std::size_t n = 1; n <= lanes::max_lanes(kernel); ++n) {
      std::vector<Digest> got(messages.size());
      sha256_messages(whole, got.data(), kernel, n);
      for (std::size_t i = 0; i < messages.size(); ++i) {
        check(got[i] == expected[i], lanes::kernel_name(kernel), n, i, "whole");
      }
      std::vector<Digest> pieced(messages.size());
      Pieces source(messages, pieced);
      hash_messages(source, kernel, n);
      for (std::size_t i = 0; i < messages.size(); ++i) {
        check(pieced[i] == expected[i], lanes::kernel_name(kernel), n, i, "in pieces");
      }
    }
  }
  return 0;
}
