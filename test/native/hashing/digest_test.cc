#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "hashing/digest.h"
#include "support/temp_dir.h"

namespace tov::hashing {
namespace {

constexpr const char* kEmpty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr const char* kAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr const char* kMillionA =
    "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";

std::string split_hex(std::string_view message, std::size_t split) {
  Sha256 hasher;
  hasher.update(message.substr(0, split));
  hasher.update(message.substr(split));
  return to_hex(hasher.finish());
}

TEST(HashingDigest, Fips180Vectors) {
  EXPECT_EQ(hex_digest(""), kEmpty);
  EXPECT_EQ(hex_digest(nullptr, 0), kEmpty);
  EXPECT_EQ(hex_digest("abc"), kAbc);
  EXPECT_EQ(hex_digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(hex_digest("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
                       "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
            "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
  const std::string million(1000000, 'a');
  EXPECT_EQ(hex_digest(million), kMillionA);
  Sha256 pieces;
  for (std::size_t at = 0; at < million.size(); at += 997) {
    pieces.update(std::string_view(million).substr(at, 997));
  }
  EXPECT_EQ(to_hex(pieces.finish()), kMillionA);
}

TEST(HashingDigest, PaddingBoundariesAtEverySplit) {
  const struct {
    std::size_t length;
    const char* hex;
  } cases[] = {
      {55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {63, "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {65, "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
      {119, "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
      {120, "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
  };
  for (const auto& c : cases) {
    const std::string message(c.length, 'a');
    EXPECT_EQ(hex_digest(message), c.hex) << c.length;
    for (std::size_t split = 0; split <= c.length; ++split) {
      ASSERT_EQ(split_hex(message, split), c.hex) << c.length << " split at " << split;
    }
  }
  // Varied bytes, byte-by-byte feeding, every length across two blocks.
  const std::string data = test_support::patterned_bytes(130);
  for (std::size_t length = 0; length <= data.size(); ++length) {
    const std::string_view message(data.data(), length);
    Sha256 bytewise;
    for (const char c : message) bytewise.update(&c, 1);
    ASSERT_EQ(to_hex(bytewise.finish()), hex_digest(message)) << length;
  }
}

TEST(HashingDigest, FinishStartsAFreshMessage) {
  Sha256 hasher;
  hasher.update("must not leak into the next message");
  hasher.finish();
  EXPECT_EQ(to_hex(hasher.finish()), kEmpty);
  hasher.update("ab");
  hasher.update("c");
  EXPECT_EQ(to_hex(hasher.finish()), kAbc);
}

TEST(HashingDigest, HexRendersEveryByteValueAndWritesExactly64Chars) {
  char out[kHexDigestSize + 1];
  out[kHexDigestSize] = '#';
  for (int value = 0; value < 256; ++value) {
    Digest digest;
    digest.fill(static_cast<std::uint8_t>(value));
    digest[31] = 0x0f;  // high nibble first: "0f", not "f0"
    char pair[3];
    std::snprintf(pair, sizeof(pair), "%02x", value);
    std::string expected;
    for (int i = 0; i < 31; ++i) expected += pair;
    to_hex(digest, out);
    ASSERT_EQ(std::string(out, kHexDigestSize), expected + "0f") << value;
  }
  EXPECT_EQ(out[kHexDigestSize], '#');
}

TEST(HashingDigest, HexKeepsEveryByteInItsPlace) {
  Digest digest;
  std::string expected;
  for (std::size_t i = 0; i < digest.size(); ++i) {
    digest[i] = static_cast<std::uint8_t>(i * 37 + 11);
    char pair[3];
    std::snprintf(pair, sizeof(pair), "%02x", digest[i]);
    expected += pair;
  }
  EXPECT_EQ(to_hex(digest), expected);
}

TEST(HashingDigest, ThreadsDigestIndependently) {
  const std::string data = test_support::patterned_bytes(10000);
  const std::string expected = hex_digest(data);
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 500; ++round) {
        mismatches[t] += hex_digest("abc") != kAbc;
        mismatches[t] += hex_digest(data) != expected;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(mismatches[t], 0) << t;
}

}  // namespace
}  // namespace tov::hashing
