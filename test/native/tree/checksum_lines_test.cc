#include "tree/checksum_lines.h"

#include <gtest/gtest.h>

#include <string>

namespace tov::tree {
namespace {

const std::string kLower(64, 'a');
const std::string kMixed = std::string(32, 'F') + std::string(32, '0');

TEST(ChecksumLines, SplitsTheCommonFormIntoColumns) {
  const std::string block =
      kLower + "  src/a.c\n" + kMixed + " *bin/\xc3\xa9t\xc3\xa9\n" + kLower + "  z";
  const auto columns = split_checksum_lines(block);
  ASSERT_TRUE(columns.has_value());
  EXPECT_EQ(columns->count, 3u);
  EXPECT_EQ(columns->names, std::string("src/a.c\0bin/\xc3\xa9t\xc3\xa9\0z", 20));
  // Upper-case digits come back lower-cased.
  EXPECT_EQ(columns->digests, kLower + std::string(32, 'f') + std::string(32, '0') + kLower);
}

TEST(ChecksumLines, LeavesEveryOtherLineToTheCaller) {
  const std::string good = kLower + "  ok\n";
  const std::string others[] = {
      "",                                           // an empty line
      "# root: " + kLower,                          // a comment or root line
      "\\" + kLower + "  a\\nb",                    // an escaped name
      "SHA256 (a) = " + kLower,                     // the tagged form
      kLower + "  ",                                // no path
      kLower + " x",                                // one space, no mark
      kLower.substr(1) + "g  x",                    // not a hex digit
      kLower.substr(1) + "  x",                     // 63 digits
      kLower + "  dos\r",                           // a carriage return
      kLower + "  a" + std::string(1, '\0') + "b",  // a NUL in the name
      kLower + "  bad\xff",                         // not UTF-8
      kLower + "  \xed\xa0\x80",                    // a surrogate
      kLower + "  \xc0\xaf",                        // an overlong form
  };
  for (const std::string& other : others) {
    EXPECT_FALSE(split_checksum_lines(good + other).has_value()) << other;
    EXPECT_FALSE(split_checksum_lines(other + "\n" + good.substr(0, good.size() - 1)).has_value())
        << other;
  }
  // A line feed at the end stands for an empty last line.
  EXPECT_FALSE(split_checksum_lines(good).has_value());
  EXPECT_TRUE(split_checksum_lines(good.substr(0, good.size() - 1)).has_value());
}

}  // namespace
}  // namespace tov::tree
