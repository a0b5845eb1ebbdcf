#include "text/utf8.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace tov::text {
namespace {

std::string encode(const std::u16string& units, Utf16ToUtf8 encoder = utf16_to_utf8) {
  std::string out(3 * units.size() + 16, '\0');
  out.resize(encoder(units.data(), units.size(), out.data()).size);
  return out;
}

bool replaces(const std::u16string& units, Utf16ToUtf8 encoder) {
  std::string out(3 * units.size() + 16, '\0');
  return encoder(units.data(), units.size(), out.data()).replaced;
}

TEST(Utf16ToUtf8, EncodesEachKindOfUnit) {
  for (const Utf16ToUtf8 encoder : utf16_to_utf8_variants()) {
    EXPECT_EQ(encode(u"", encoder), "");
    EXPECT_EQ(encode(u"abc", encoder), "abc");
    EXPECT_EQ(encode(u"\u00e9\u07ff", encoder), "\xC3\xA9\xDF\xBF");
    EXPECT_EQ(encode(u"\u0800\u20ac\uffff", encoder), "\xE0\xA0\x80\xE2\x82\xAC\xEF\xBF\xBF");
    EXPECT_EQ(encode(u"\U0001F600\U0010FFFF", encoder), "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF");
    // Unpaired surrogates, alone, reversed, doubled and at either end.
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_EQ(encode(std::u16string{0xD800}, encoder), fffd);
    EXPECT_EQ(encode(std::u16string{0xDC00, 0xD800}, encoder), fffd + fffd);
    EXPECT_EQ(encode(std::u16string{0xD83D, 0xD83D, 0xDE00}, encoder), fffd + "\xF0\x9F\x98\x80");
    EXPECT_EQ(encode(std::u16string{u'a', 0xDFFF, u'b'}, encoder), "a" + fffd + "b");
    EXPECT_EQ(encode(std::u16string{0}, encoder), std::string(1, '\0'));
    // Only an unpaired surrogate counts as replaced, not a U+FFFD of the text.
    EXPECT_FALSE(replaces(u"abc \u00e9\u20ac\ufffd\U0001F600", encoder));
    EXPECT_TRUE(replaces(std::u16string(40, u'a') + char16_t{0xDC00}, encoder));
    EXPECT_TRUE(replaces(std::u16string{u'a', 0xD800}, encoder));
  }
}

// Units drawn to hit every path: runs of ASCII, of two-byte units, of
// three-byte units, pairs, and stray surrogates, so that blocks of eight and
// sixteen start, end and split anywhere, pairs included.
std::u16string random_units(std::uint32_t& state, std::size_t count) {
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  std::u16string units;
  while (units.size() < count) {
    const std::uint32_t kind = next() % 16;
    const std::size_t run = 1 + next() % (kind < 6 ? 40 : 6);
    for (std::size_t k = 0; k < run && units.size() < count; ++k) {
      const std::uint32_t r = next();
      if (kind < 6) {
        units.push_back(static_cast<char16_t>(r % 0x80));
      } else if (kind < 10) {
        units.push_back(static_cast<char16_t>(0x80 + r % 0x780));
      } else if (kind < 12) {
        units.push_back(static_cast<char16_t>(0x800 + r % 0xD000));  // below the surrogates
      } else if (kind < 14) {
        units.push_back(static_cast<char16_t>(0xD800 + r % 0x400));
        units.push_back(static_cast<char16_t>(0xDC00 + (r >> 10) % 0x400));
      } else {
        units.push_back(static_cast<char16_t>(0xD800 + r % 0x800));  // stray
      }
    }
  }
  units.resize(count);
  return units;
}

TEST(Utf16ToUtf8, EveryVariantMatchesTheScalarRuleAtEveryLength) {
  std::uint32_t state = 0x9E3779B9u;
  for (std::size_t count = 0; count <= 200; ++count) {
    for (int round = 0; round < 20; ++round) {
      const std::u16string units = random_units(state, count);
      const std::string expected = encode(units, utf16_to_utf8_scalar);
      const bool replaced = replaces(units, utf16_to_utf8_scalar);
      for (const Utf16ToUtf8 encoder : utf16_to_utf8_variants()) {
        ASSERT_EQ(encode(units, encoder), expected) << count << "/" << round;
        ASSERT_EQ(replaces(units, encoder), replaced) << count << "/" << round;
      }
    }
  }
}

// The conversions hand utf16_to_utf8 one buffer of 3n + 4 bytes with the
// units stored from byte n (rounded up to even) and the output at byte 0.
TEST(Utf16ToUtf8, SharedBufferGivesTheSameBytes) {
  std::uint32_t state = 12345;
  for (const std::size_t count : {1, 2, 7, 8, 9, 15, 16, 17, 31, 33, 64, 255, 1000, 4099}) {
    for (int round = 0; round < 30; ++round) {
      std::u16string units = random_units(state, count);
      // Worst cases for the room left: all three-byte units, all pairs.
      if (round == 0) units.assign(count, u'\u4e2d');
      if (round == 1) {
        for (std::size_t k = 0; k < count; ++k) units[k] = k % 2 ? 0xDE00 : 0xD83D;
      }
      const std::string expected = encode(units, utf16_to_utf8_scalar);
      for (const Utf16ToUtf8 encoder : utf16_to_utf8_variants()) {
        std::vector<char> buffer(3 * count + 4, '\x55');
        const std::size_t at = count + (count & 1);
        std::memcpy(buffer.data() + at, units.data(), 2 * count);
        const std::size_t written =
            encoder(reinterpret_cast<const char16_t*>(buffer.data() + at), count, buffer.data())
                .size;
        ASSERT_EQ(std::string(buffer.data(), written), expected) << count << "/" << round;
      }
    }
  }
}

TEST(Utf8Length, CountsUnitsOfWellFormedText) {
  EXPECT_EQ(utf16_length(""), 0u);
  EXPECT_EQ(utf16_length("abc"), 3u);
  EXPECT_EQ(utf16_length("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), 4u);  // 1 + 1 + 2
  std::uint32_t state = 777;
  for (int round = 0; round < 200; ++round) {
    std::u16string units = random_units(state, static_cast<std::size_t>(round));
    // Only well-formed text: strays become U+FFFD, one unit each.
    for (char16_t& unit : units) {
      if (unit >= 0xD800 && unit <= 0xDFFF) unit = 0xFFFD;
    }
    EXPECT_EQ(utf16_length(encode(units)), units.size());
  }
}

TEST(Utf8Boundary, MovesBackToTheCharacterStartOnly) {
  const std::string text = "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z";
  const std::size_t expected[] = {0, 1, 1, 3, 3, 3, 6, 6, 6, 6, 10, 11};
  for (std::size_t i = 0; i <= text.size(); ++i) {
    EXPECT_EQ(utf8_boundary_before(text, i), expected[i]) << "index " << i;
  }
  const std::string stray(6, '\x80');
  EXPECT_EQ(utf8_boundary_before(stray, 5), 2u);
  EXPECT_EQ(utf8_boundary_before(stray, 2), 0u);
}

}  // namespace
}  // namespace tov::text
