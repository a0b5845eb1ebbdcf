#include "hasher/saved_state.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "hashing/digest.h"

namespace tov::hasher {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes counting(std::size_t size) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return out;
}

TEST(HasherSavedState, ResumesAtEveryOffsetWithTheDocumentedLayout) {
  const Bytes data = counting(300);
  const hashing::Digest expected = hashing::sha256(data.data(), data.size());
  for (std::size_t at = 0; at <= data.size(); ++at) {
    Sha256 state;
    state.update(data.data(), at);
    const Bytes saved = save(state);
    ASSERT_EQ(saved.size(), kSavedHeaderSize + at % 64);
    EXPECT_EQ(Bytes(saved.begin(), saved.begin() + 8), (Bytes{'t', 'o', 'v', 'h', 1, 0, 0, 0}));
    EXPECT_EQ(saved[15], at & 0xff);
    EXPECT_EQ(saved[14], at >> 8);
    EXPECT_EQ(saved[16], state.words()[0] >> 24);
    base::Result<Sha256> restored = restore(saved);
    ASSERT_TRUE(restored) << at;
    EXPECT_EQ(restored->count(), at);
    restored->update(data.data() + at, data.size() - at);
    EXPECT_EQ(restored->finish(), expected) << at;
  }
}

TEST(HasherSavedState, RejectsWhatIsNotASavedState) {
  Sha256 state;
  const Bytes data = counting(70);
  state.update(data.data(), data.size());
  const Bytes good = save(state);
  const auto edited = [&](std::size_t index, std::uint8_t value) {
    Bytes copy = good;
    copy[index] = value;
    return copy;
  };
  const struct {
    Bytes saved;
    base::FixedText why;
  } cases[] = {
      {Bytes(good.begin(), good.begin() + 47), base::texts::kSavedStateTooShort},
      {Bytes(), base::texts::kSavedStateTooShort},
      {edited(3, 'H'), base::texts::kSavedStateMagic},
      {edited(4, 0), base::texts::kSavedStateVersion},
      {edited(7, 1), base::texts::kSavedStateReserved},
      {edited(8, 0x20), base::texts::kSavedStateCountTooLarge},
      {edited(15, 70 + 1), base::texts::kSavedStateLength},
      {Bytes(good.begin(), good.end() - 1), base::texts::kSavedStateLength},
  };
  for (const auto& c : cases) {
    const base::Result<Sha256> restored = restore(c.saved);
    ASSERT_FALSE(restored);
    EXPECT_TRUE(restored.error().is(c.why)) << restored.error().description();
  }
  // The largest count SHA-256 takes is still a state.
  Bytes largest = edited(8, 0x1f);
  for (std::size_t i = 9; i < 16; ++i) largest[i] = 0xff;
  largest.resize(kSavedHeaderSize + 63);
  EXPECT_TRUE(restore(largest));
}

}  // namespace
}  // namespace tov::hasher
