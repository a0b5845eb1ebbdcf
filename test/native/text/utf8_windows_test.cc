#include "text/utf8_windows.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "text/utf8.h"
#include "hashing/digest.h"
#include "tokens/tokens.h"

namespace tov::text {
namespace {

// Units from memory, with a record of what was asked for.
class VectorSource final : public UnitSource {
 public:
  explicit VectorSource(std::u16string units, std::size_t fail_at = SIZE_MAX)
      : units_(std::move(units)), fail_at_(fail_at) {}

  bool read(std::size_t begin, std::size_t count, char16_t* out) override {
    EXPECT_LE(begin + count, units_.size());
    if (reads.size() == fail_at_) return false;
    reads.push_back(count);
    units_.copy(out, count, begin);
    out[count] = 0;  // the room for a terminator is promised
    return true;
  }

  std::vector<std::size_t> reads;

 private:
  std::u16string units_;
  std::size_t fail_at_;
};

std::string one_shot(const std::u16string& units) {
  std::string out(3 * units.size() + 4, '\0');
  out.resize(utf16_to_utf8_scalar(units.data(), units.size(), out.data()).size);
  return out;
}

// Texts whose troublesome pieces (pairs, stray halves, word runs, blanks)
// fall on or beside every window edge of small windows.
std::u16string tricky_units(std::mt19937& rng, std::size_t length) {
  static const std::u16string pieces[] = {
      u"a",
      u"word_9",
      u" ",
      u"\t\n",
      u"\u00e9",
      u"\u4e2d",
      u"\U0001F600",
      u"\xD800",
      u"\xDC00",
      u".,",
      u"\ufffd",
      u"\U0001F600\U0001F600",
      u"\xDBFF\xDBFF",
  };
  std::u16string units;
  while (units.size() < length) units += pieces[rng() % std::size(pieces)];
  units.resize(length);  // may leave a high surrogate last
  return units;
}

struct Read {
  std::string bytes;
  std::vector<std::size_t> edges;  // unit index of each window's end
  bool replaced = false;
};

Read read_all(const std::u16string& units, WindowSizes sizes) {
  VectorSource source(units);
  Utf8Windows windows(source, units.size(), sizes);
  Read read;
  std::size_t expected_begin = 0;
  while (windows.next()) {
    EXPECT_EQ(windows.begin(), expected_begin);
    EXPECT_EQ(windows.unit_at(windows.bytes().size()), windows.end());
    if (!windows.last()) {
      EXPECT_LT(windows.begin(), windows.end());
      const char16_t before = units[windows.end() - 1];
      const char16_t after = units[windows.end()];
      EXPECT_FALSE(before >= 0xD800 && before <= 0xDBFF && after >= 0xDC00 && after <= 0xDFFF)
          << "a window ends inside a pair at " << windows.end();
    }
    read.bytes += windows.bytes();
    read.edges.push_back(windows.end());
    expected_begin = windows.end();
  }
  EXPECT_FALSE(windows.failed());
  EXPECT_TRUE(windows.last());
  for (const std::size_t count : source.reads)
    EXPECT_LE(count, std::max<std::size_t>(sizes.largest, 2));
  read.replaced = windows.replaced();
  return read;
}

TEST(Utf8Windows, JoinedWindowsAreTheOneShotEncoding) {
  std::mt19937 rng(11);
  for (const WindowSizes sizes : {WindowSizes{1, 1}, WindowSizes{2, 2}, WindowSizes{2, 7},
                                  WindowSizes{3, 64}, WindowSizes{5, 5}, WindowSizes{64, 16}}) {
    for (std::size_t length : {0, 1, 2, 3, 7, 8, 63, 64, 65, 500}) {
      for (int round = 0; round < 20; ++round) {
        const std::u16string units = tricky_units(rng, length);
        const Read read = read_all(units, sizes);
        const std::string expected = one_shot(units);
        ASSERT_EQ(read.bytes, expected)
            << "length " << length << " windows " << sizes.first << ".." << sizes.largest;
        std::string scratch(3 * units.size() + 4, '\0');
        EXPECT_EQ(read.replaced,
                  utf16_to_utf8_scalar(units.data(), units.size(), scratch.data()).replaced);
      }
    }
  }
}

TEST(Utf8Windows, GrowsFromTheFirstSizeAndHoldsBackHighSurrogates) {
  const Read plain = read_all(std::u16string(100, u'x'), {4, 16});
  EXPECT_EQ(plain.edges, (std::vector<std::size_t>{4, 12, 28, 44, 60, 76, 92, 100}));
  // A pair across an edge, or a stray high surrogate on one, moves the edge
  // back by one unit; a stray high surrogate at the very end stays in the
  // last window.
  std::u16string units = u"abc\U0001F600defgh";
  units += char16_t{0xD800};
  units += u'i';
  units += char16_t{0xD800};
  const Read read = read_all(units, {4, 4});
  EXPECT_EQ(read.edges, (std::vector<std::size_t>{3, 7, 10, 13}));
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(read.bytes,
            "abc\xF0\x9F\x98\x80"
            "defgh" +
                fffd + "i" + fffd);
  EXPECT_TRUE(read.replaced);
}

TEST(Utf8Windows, StopsAtAWindowThatCannotBeRead) {
  VectorSource source(std::u16string(50, u'x'), 2);
  Utf8Windows windows(source, 50, {10, 10});
  EXPECT_TRUE(windows.next());
  EXPECT_TRUE(windows.next());
  EXPECT_FALSE(windows.next());
  EXPECT_TRUE(windows.failed());
  EXPECT_FALSE(windows.next());
}

// The consumers over windows give the one-shot answers wherever the edges
// fall: digests, counts with word runs carried over an edge, and cuts on,
// before and after an edge.
TEST(Utf8Windows, ConsumersMatchTheirOneShotAnswers) {
  std::mt19937 rng(5);
  for (const WindowSizes sizes : {WindowSizes{2, 2}, WindowSizes{3, 9}, WindowSizes{16, 64}}) {
    for (int round = 0; round < 40; ++round) {
      const std::u16string units = tricky_units(rng, 1 + rng() % 300);
      const std::string bytes = one_shot(units);
      {
        VectorSource source(units);
        Utf8Windows windows(source, units.size(), sizes);
        EXPECT_EQ(hashing::sha256(windows), hashing::sha256(bytes));
      }
      {
        VectorSource source(units);
        Utf8Windows windows(source, units.size(), sizes);
        EXPECT_EQ(tokens::count_tokens(windows), tokens::count_tokens_scalar(bytes));
      }
      const std::uint32_t total = tokens::count_tokens_scalar(bytes);
      for (std::uint32_t budget = 1; budget <= total + 1; ++budget) {
        VectorSource source(units);
        Utf8Windows windows(source, units.size(), sizes);
        const tokens::WindowCut cut = tokens::truncate_cut(windows, budget);
        const std::size_t expected = tokens::truncate_cut_scalar(bytes, budget);
        ASSERT_EQ(cut.cut, expected != bytes.size()) << "budget " << budget;
        if (!cut.cut) continue;
        EXPECT_EQ(cut.units, utf16_length(std::string_view(bytes).substr(0, expected)))
            << "budget " << budget;
        EXPECT_EQ(one_shot(units.substr(0, windows.begin())).size() + cut.bytes, expected);
      }
    }
  }
}

}  // namespace
}  // namespace tov::text
