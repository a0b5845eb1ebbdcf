#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tokens/tokens.h"
#include "tokens/tokens_kernels.h"

namespace tov::tokens {
namespace {

using namespace std::string_literals;

struct CountCase {
  std::string text;
  std::uint32_t tokens;
};

const std::vector<CountCase>& count_cases() {
  static const std::vector<CountCase> cases = {
      {"", 0},
      {" \t\r\n", 0},
      {"\f", 1},
      {"\v", 1},
      {"hello world", 2},
      {"hello, world!", 4},
      {"foo_bar123", 1},
      {"__init__", 1},
      {"a+b", 3},
      {"foo.bar()", 5},
      {"3.14", 3},
      {"1,000,000", 5},
      {"don't", 3},
      {"  hello   world  ", 2},
      {"x\0y"s, 3},
      {"\xC3\xA9", 2},  // e acute
      {"\xC3\xBC"
       "ber",
       3},                              // u umlaut + ber
      {"na\xC3\xAFve", 4},              // i diaeresis
      {"\xE4\xB8\xAD\xE6\x96\x87", 6},  // two CJK characters
      {"\xF0\x9F\x98\x80", 4},          // one emoji outside the BMP
      {"abcdefg", 1},
      {"a.b.c.d.", 8},
      {"a.b.c.d.e", 9},
      {"...... abcdefgh", 7},
      {"      wordword ", 1},
      {"+-*/%^&|~!?<>=.", 15},
      {"!!!!!!(word)?!!!", 13},
      {"      abcd      ", 1},  // word run over bytes 6..9
      {"      abcd       ", 1},
  };
  return cases;
}

bool is_valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto lead = static_cast<unsigned char>(s[i]);
    const std::size_t len = lead < 0x80         ? 1
                            : (lead >> 5) == 6  ? 2
                            : (lead >> 4) == 14 ? 3
                            : (lead >> 3) == 30 ? 4
                                                : 0;
    if (len == 0 || i + len > s.size()) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

// Mixed texts: ASCII words, blank runs, ASCII and control symbols and valid
// multi-byte UTF-8 characters of every length.
std::string random_text(std::mt19937& rng, std::size_t approx_size) {
  static const std::string kWordChars =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_";
  static const std::string kBlanks = " \t\n\r";
  static const std::string kSymbols = "!\"#$%&'()*+,-./:;<=>?@[\\]^`{|}~\v\f\x7F\x01"s + '\0';
  std::string s;
  while (s.size() < approx_size) {
    switch (rng() % 5) {
      case 0:
      case 1:
        for (unsigned n = 1 + rng() % 12; n > 0; --n) s += kWordChars[rng() % kWordChars.size()];
        break;
      case 2:
        for (unsigned n = 1 + rng() % 4; n > 0; --n) s += kBlanks[rng() % kBlanks.size()];
        break;
      case 3:
        s += kSymbols[rng() % kSymbols.size()];
        break;
      default: {
        static const char* const kChars[] = {"\xC3\xA9",         "\xD0\xAF",
                                             "\xE4\xB8\xAD",     "\xE2\x82\xAC",
                                             "\xF0\x9F\x98\x80", "\xF0\x90\x8D\x88"};
        s += kChars[rng() % 6];
      }
    }
  }
  return s;
}

TEST(TokensEstimate, CountsTheTableExactly) {
  for (const auto& c : count_cases()) {
    EXPECT_EQ(count_tokens_scalar(c.text), c.tokens) << '"' << c.text << '"';
    EXPECT_EQ(count_tokens(c.text), c.tokens) << '"' << c.text << '"';
  }
}

// An independent statement of the three classes, byte by byte: a byte alone
// counts 0 or 1, and doubled it counts 1 only when it forms a word run.
TEST(TokensEstimate, EachByteValueFallsInItsClass) {
  for (unsigned v = 0; v < 256; ++v) {
    const bool word =
        (v >= '0' && v <= '9') || (v >= 'A' && v <= 'Z') || (v >= 'a' && v <= 'z') || v == '_';
    const bool blank = v == ' ' || v == '\t' || v == '\n' || v == '\r';
    const std::string one(1, static_cast<char>(v));
    const std::uint32_t single = blank ? 0 : 1;
    const std::uint32_t doubled = blank ? 0 : word ? 1 : 2;
    EXPECT_EQ(count_tokens_scalar(one), single) << "byte " << v;
    EXPECT_EQ(count_tokens_scalar(one + one), doubled) << "byte " << v;
    EXPECT_EQ(count_tokens(one + one), doubled) << "byte " << v;
  }
}

struct TruncateCase {
  std::string text;
  std::uint32_t budget;
  std::string kept;
};

TEST(TokensTruncate, KeepsThePrefixOfTheTable) {
  const std::vector<TruncateCase> cases = {
      {"hello world", 0, ""},
      {"   ", 0, ""},
      {"   ", 1, "   "},
      {"", 5, ""},
      {"", 0, ""},
      {"hello world", 1, "hello "},
      {"hello world", 2, "hello world"},
      {"abc  def  ", 1, "abc  "},
      {"abc  def  ", 2, "abc  def  "},
      {"a, b", 2, "a, "},
      {"foo.bar", 2, "foo."},
      {"a-b-c", 3, "a-b"},
      {"a-b-c", 4, "a-b-"},
      {"\xC3\xA9"
       "a",
       2, "\xC3\xA9"},
      {"a\xC3\xA9", 3, "a\xC3\xA9"},
      {"a\xC3\xA9", 2, "a"},  // the walk stops inside e acute
      {"\xF0\x9F\x98\x80", 3, ""},
      {"hello world", std::numeric_limits<std::uint32_t>::max(), "hello world"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.text.substr(0, truncate_cut(c.text, c.budget)), c.kept)
        << '"' << c.text << "\" budget " << c.budget;
    EXPECT_EQ(c.text.substr(0, truncate_cut_scalar(c.text, c.budget)), c.kept)
        << '"' << c.text << "\" budget " << c.budget;
  }
  EXPECT_EQ(walk_cut("a\xC3\xA9", 2), 2u);
  EXPECT_EQ(walk_cut_scalar("a\xC3\xA9", 2), 2u);
}

TEST(TokensTruncate, RandomTextsKeepValidPrefixesWithinBudget) {
  std::mt19937 rng(20240607);
  for (int round = 0; round < 300; ++round) {
    const std::string text = random_text(rng, rng() % 400);
    const std::uint32_t total = count_tokens_scalar(text);
    for (std::uint32_t budget = 0; budget <= total + 1; budget += 1 + rng() % 4) {
      const std::size_t cut = truncate_cut(text, budget);
      ASSERT_EQ(cut, truncate_cut_scalar(text, budget));
      const std::string_view kept = std::string_view(text).substr(0, cut);
      ASSERT_TRUE(is_valid_utf8(kept)) << "budget " << budget;
      const std::uint32_t kept_tokens = count_tokens_scalar(kept);
      ASSERT_LE(kept_tokens, budget);
      if (budget == 0) {
        ASSERT_EQ(cut, 0u);
      } else if (budget >= total) {
        ASSERT_EQ(cut, text.size());
      } else if (walk_cut(text, budget) == cut) {
        // Cut on a character boundary: the prefix is the longest that fits.
        ASSERT_EQ(kept_tokens, budget);
        ASSERT_GT(count_tokens_scalar(std::string_view(text).substr(0, cut + 1)), budget);
      }
    }
  }
}

// Every kernel compiled in, plus the dispatching entry points.
struct Runner {
  std::string name;
  bool usable;
  std::uint32_t (*count)(kernels::Kernel, std::string_view);
  std::size_t (*walk)(kernels::Kernel, std::string_view, std::uint32_t);
  kernels::Kernel kernel;
};

void PrintTo(const Runner& runner, std::ostream* os) {
  *os << runner.name;
}

std::vector<Runner> runners() {
  std::vector<Runner> out;
  for (kernels::Kernel k : kernels::compiled_kernels()) {
    out.push_back({kernels::kernel_name(k), kernels::kernel_supported(k), kernels::count_with,
                   kernels::walk_cut_with, k});
  }
  out.push_back(
      {"dispatch", true, [](kernels::Kernel, std::string_view t) { return count_tokens(t); },
       [](kernels::Kernel, std::string_view t, std::uint32_t b) { return walk_cut(t, b); },
       kernels::Kernel::kPortable});
  return out;
}

class TokensKernel : public testing::TestWithParam<Runner> {
 protected:
  void SetUp() override {
    if (!GetParam().usable) GTEST_SKIP() << GetParam().name << " is not supported by this CPU";
  }
  std::uint32_t count(std::string_view t) const { return GetParam().count(GetParam().kernel, t); }
  std::size_t walk(std::string_view t, std::uint32_t b) const {
    return GetParam().walk(GetParam().kernel, t, b);
  }
  // Checks the estimate and the walk at budgets around every interesting point.
  void expect_same_as_scalar(std::string_view t) const {
    const std::uint32_t total = count_tokens_scalar(t);
    ASSERT_EQ(count(t), total) << "size " << t.size();
    for (std::uint32_t b : {0u, 1u, 2u, total / 3, total / 2, total - 1, total, total + 1}) {
      ASSERT_EQ(walk(t, b), walk_cut_scalar(t, b)) << "size " << t.size() << " budget " << b;
    }
  }
};

TEST_P(TokensKernel, CountsTheTableExactly) {
  for (const auto& c : count_cases()) EXPECT_EQ(count(c.text), c.tokens) << '"' << c.text << '"';
}

TEST_P(TokensKernel, AgreesWithScalarAtEveryLengthAndAlignment) {
  std::mt19937 rng(7);
  const std::string pool = random_text(rng, 400);
  for (std::size_t offset = 0; offset < 64; ++offset) {
    for (std::size_t len = 0; len <= 300; ++len) {
      expect_same_as_scalar(std::string_view(pool).substr(offset, len));
    }
  }
}

// A wrong table entry or lane shift shows up as one byte value misclassified
// in one position, so try each value in each of two blocks' worth of lanes,
// against word, blank and symbol neighbours.
TEST_P(TokensKernel, ClassifiesEveryByteInEveryLane) {
  for (char fill : {'w', ' ', '.'}) {
    std::string text(130, fill);
    for (std::size_t pos = 0; pos < text.size(); ++pos) {
      for (unsigned v = 0; v < 256; ++v) {
        text[pos] = static_cast<char>(v);
        ASSERT_EQ(count(text), count_tokens_scalar(text)) << "byte " << v << " at " << pos;
      }
      text[pos] = fill;
    }
  }
}

TEST_P(TokensKernel, CountsWordRunsAcrossBlockEdgesOnce) {
  for (std::size_t edge : {8u, 16u, 32u, 64u, 128u, 192u}) {
    for (std::size_t before = 1; before <= 9 && before <= edge; ++before) {
      for (std::size_t after = 1; after <= 70; ++after) {
        std::string text(edge - before, ' ');
        text += std::string(before + after, 'q');
        EXPECT_EQ(count(text), 1u) << "edge " << edge << " run " << before << '+' << after;
        text += ".x";
        EXPECT_EQ(count(text), 3u);
        // The run is one token: budget 1 keeps it whole, up to the dot.
        EXPECT_EQ(walk(text, 1), text.size() - 2);
        EXPECT_EQ(walk(text, 2), text.size() - 1);
      }
    }
  }
}

TEST_P(TokensKernel, AgreesWithScalarOnRandomTexts) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 200; ++round) {
    expect_same_as_scalar(random_text(rng, rng() % 3000));
  }
  // Every budget over one text that spans many blocks.
  const std::string text = random_text(rng, 1000);
  for (std::uint32_t b = 0; b <= count_tokens_scalar(text) + 1; ++b) {
    ASSERT_EQ(walk(text, b), walk_cut_scalar(text, b)) << "budget " << b;
  }
}

TEST_P(TokensKernel, HandlesLargeTexts) {
  std::mt19937 rng(99);
  expect_same_as_scalar(random_text(rng, 1 << 20));
  const std::string spaces(1 << 20, ' ');
  EXPECT_EQ(count(spaces), 0u);
  EXPECT_EQ(walk(spaces, 1), spaces.size());
  const std::string one_word(1 << 20, 'z');
  EXPECT_EQ(count(one_word), 1u);
  EXPECT_EQ(walk(one_word + "!", 1), one_word.size());
}

INSTANTIATE_TEST_SUITE_P(Tokens, TokensKernel, testing::ValuesIn(runners()),
                         [](const testing::TestParamInfo<Runner>& info) {
                           return info.param.name;
                         });

TEST(TokensDispatch, PicksASupportedKernel) {
  EXPECT_TRUE(kernels::kernel_supported(kernels::active_kernel()));
  EXPECT_TRUE(kernels::kernel_supported(kernels::Kernel::kPortable));
}

}  // namespace
}  // namespace tov::tokens
