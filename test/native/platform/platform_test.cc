#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace tov::platform {
namespace {

TEST(OsError, CarriesTheCodeAndTheSystemsText) {
  const base::Error missing = os_error(ENOENT);
  EXPECT_TRUE(missing.is_system());
  EXPECT_EQ(missing.system_code(), ENOENT);
#if defined(_WIN32)
  EXPECT_EQ(missing.description(), os_error_description(2));
#else
  EXPECT_EQ(missing.description(), "No such file or directory (os error 2)");
#endif
  // A copy is named the same way.
  const base::Error copy = missing;
  EXPECT_EQ(copy.description(), missing.description());
}

TEST(OsError, CodesWithoutAMessageStillNameTheCode) {
  const std::string text = os_error(999999).description();
#if defined(_WIN32)
  // Windows' form names the failed message lookup instead.
  EXPECT_EQ(text.rfind("OS Error 999999 (FormatMessageW() returned error ", 0), 0u) << text;
#else
  EXPECT_NE(text.find("(os error 999999)"), std::string::npos) << text;
#endif
  EXPECT_EQ(text.back(), ')');
}

}  // namespace
}  // namespace tov::platform
