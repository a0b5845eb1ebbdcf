#include "tree/checksum_lines.h"

#include <gtest/gtest.h>

#include <string>

namespace tov::tree {
namespace {

const std::string kLower(64, 'a');
const std::string kMixed = std::string(32, 'F') + std::string(32, '0');

TEST(ChecksumLines, SplitsTheCommonFormIntoColumns) {
  const std::string block =
      kLower + "  src/a.c\n" + kMixed + " *bin/\xc3\xa9t\xc3\xa9\r\n" + kLower + "  z";
  const ChecksumColumns columns = split_checksum_lines(block);
  EXPECT_EQ(columns.count, 3u);
  EXPECT_EQ(columns.taken, block.size() + 1);
  // The carriage return of a DOS line is no part of its name.
  EXPECT_EQ(columns.names, std::string("src/a.c\0bin/\xc3\xa9t\xc3\xa9\0z", 19));
  // Upper-case digits come back lower-cased.
  EXPECT_EQ(columns.digests, kLower + std::string(32, 'f') + std::string(32, '0') + kLower);
}

TEST(ChecksumLines, StopsAtTheFirstLineOfAnotherKind) {
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
      kLower + "  two\r\r",                         // a carriage return in the name
      kLower + "  a" + std::string(1, '\0') + "b",  // a NUL in the name
      kLower + "  bad\xff",                         // not UTF-8
      kLower + "  \xed\xa0\x80",                    // a surrogate
      kLower + "  \xc0\xaf",                        // an overlong form
  };
  for (const std::string& other : others) {
    const ChecksumColumns after = split_checksum_lines(good + good + other + "\n" + good);
    EXPECT_EQ(after.count, 2u) << other;
    EXPECT_EQ(after.taken, 2 * good.size()) << other;
    EXPECT_EQ(after.names, std::string("ok\0ok", 5)) << other;
    const ChecksumColumns first = split_checksum_lines(other + "\n" + good);
    EXPECT_EQ(first.count, 0u) << other;
    EXPECT_EQ(first.taken, 0u) << other;
  }
  // A line feed at the end leaves an empty last line.
  EXPECT_EQ(split_checksum_lines(good).taken, good.size());
  EXPECT_EQ(split_checksum_lines("").taken, 0u);
}

}  // namespace
}  // namespace tov::tree
