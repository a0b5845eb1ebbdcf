#include "base/result.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>

namespace tov::base {
namespace {

std::string code_text(std::int32_t code) {
  return "code " + std::to_string(code);
}

TEST(BaseError, EachKindDescribesItself) {
  // A system error is named by the text its maker passed with it.
  const Error missing = Error::system(ENOENT, code_text);
  EXPECT_TRUE(missing.is_system());
  EXPECT_EQ(missing.system_code(), ENOENT);
  EXPECT_EQ(missing.description(), "code " + std::to_string(ENOENT));

  const Error fixed = texts::kOutOfMemory;
  EXPECT_FALSE(fixed.is_system());
  EXPECT_EQ(fixed.system_code(), 0);
  EXPECT_EQ(fixed.description(), "out of memory");
  EXPECT_TRUE(fixed.is(texts::kOutOfMemory));
  EXPECT_FALSE(fixed.is(texts::kBackgroundTaskFailed));
  // The same text stored elsewhere in the program still counts as the same.
  EXPECT_TRUE(fixed.is(FixedText("out of memory")));

  const Error composed = Error::composed("built at " + std::to_string(12));
  EXPECT_EQ(composed.description(), "built at 12");
  EXPECT_FALSE(composed.is(FixedText("built at 12")));
  EXPECT_FALSE(missing.is(texts::kOutOfMemory));
}

TEST(BaseResult, HoldsAValueOrAnError) {
  Result<std::unique_ptr<int>> value = std::make_unique<int>(7);
  ASSERT_TRUE(value.ok());
  EXPECT_EQ(**value, 7);
  std::unique_ptr<int> taken = std::move(value).value();
  EXPECT_EQ(*taken, 7);

  Result<int> failed = texts::kBackgroundTaskFailed;
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().description(), "background task failed");
  Result<int> system = Error::system(EACCES, code_text);
  EXPECT_EQ(std::move(system).error().system_code(), EACCES);

  Status done;
  EXPECT_TRUE(done.ok());
  Status refused = texts::kNulInPath;
  ASSERT_FALSE(refused.ok());
  EXPECT_TRUE(refused.error().is(texts::kNulInPath));
}

}  // namespace
}  // namespace tov::base
