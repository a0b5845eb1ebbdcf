#include "runtime/runtime_config.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

#if defined(_WIN32)
// The C runtime's own environment, which getenv reads.
namespace {
int setenv(const char* name, const char* value, int) {
  return _putenv_s(name, value);
}
int unsetenv(const char* name) {
  return _putenv_s(name, "");
}
}  // namespace
#endif

namespace tov::runtime {
namespace {

// --- Worker count from the environment ---------------------------------

TEST(RuntimeWorkerThreads, ParsesTheVariableOrFallsBackToTheProcessorCount) {
  const std::string usize = "\"TOKIO_WORKER_THREADS\" must be usize, error: ";
  const std::string zero = "\"TOKIO_WORKER_THREADS\" cannot be set to 0";
  struct Case {
    std::optional<std::string_view> raw;
    std::size_t cpus;
    std::size_t count;
    std::string error;
  };
  const Case cases[] = {
      {std::nullopt, 6, 6, ""},
      {std::nullopt, 0, 1, ""},
      {"4", 64, 4, ""},
      {"+4", 1, 4, ""},
      {"0004", 1, 4, ""},
      // Counts past any machine's threads are capped: at 512, or at the
      // processor count where that is higher.
      {"18446744073709551615", 1, 512, ""},
      {"100000", 8, 512, ""},
      {"512", 8, 512, ""},
      {"513", 8, 512, ""},
      {"100000", 1024, 1024, ""},
      {"600", 1024, 600, ""},
      {"0", 8, 0, zero},
      {"+0", 8, 0, zero},
      {"000", 8, 0, zero},
      {"", 8, 0, usize + "cannot parse integer from empty string, value: "},
      {"-4", 8, 0, usize + "invalid digit found in string, value: -4"},
      {"four", 8, 0, usize + "invalid digit found in string, value: four"},
      {" 4", 8, 0, usize + "invalid digit found in string, value:  4"},
      {"4 ", 8, 0, usize + "invalid digit found in string, value: 4 "},
      {"+", 8, 0, usize + "invalid digit found in string, value: +"},
      {"++4", 8, 0, usize + "invalid digit found in string, value: ++4"},
      {"0x10", 8, 0, usize + "invalid digit found in string, value: 0x10"},
      {"18446744073709551616", 8, 0,
       usize + "number too large to fit in target type, value: 18446744073709551616"},
      // Scanned left to right: the overflow comes before the stray letter.
      {"99999999999999999999x", 8, 0,
       usize + "number too large to fit in target type, value: 99999999999999999999x"},
      // Valid UTF-8 that is no digit is a parse error, not a Unicode one.
      {"\xC3\xA9", 8, 0, usize + "invalid digit found in string, value: \xC3\xA9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.raw ? "raw \"" + std::string(*c.raw) + "\"" : "unset");
    const base::Result<std::size_t> got = worker_threads_from(c.raw, c.cpus);
    EXPECT_EQ(got.ok(), c.error.empty());
    if (c.error.empty()) {
      EXPECT_EQ(*got, c.count);
    } else {
      EXPECT_EQ(got.error().description(), c.error);
    }
  }
}

TEST(RuntimeWorkerThreads, RejectsBytesThatAreNotUtf8) {
  const std::string prefix = "\"TOKIO_WORKER_THREADS\" must be valid unicode, error: ";
  EXPECT_EQ(worker_threads_from("4\xFF", 8).error().description(),
            prefix + "invalid UTF-8 at byte 1 of \"4\\xFF\"");
  // Overlong NUL, a UTF-16 surrogate, a truncated sequence, past U+10FFFF.
  for (const std::string_view raw :
       {"\xC0\x80", "1\xED\xA0\x80", "12\xE2\x82", "\xF4\x90\x80\x80"}) {
    SCOPED_TRACE(raw.size());
    const base::Result<std::size_t> got = worker_threads_from(raw, 8);
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().description().rfind(prefix, 0), 0u) << got.error().description();
  }
}

TEST(RuntimeWorkerThreads, ReadsTheProcessEnvironment) {
  const char* const kWorkerThreadsVariable = base::texts::kWorkerThreadsVariable.c_str();
  const char* saved = std::getenv(kWorkerThreadsVariable);
  const std::optional<std::string> previous =
      saved ? std::optional<std::string>(saved) : std::nullopt;

  ASSERT_EQ(setenv(kWorkerThreadsVariable, "+3", 1), 0);
  base::Result<std::size_t> got = worker_threads_from_env();
  ASSERT_TRUE(got.ok()) << got.error().description();
  EXPECT_EQ(*got, 3u);

  ASSERT_EQ(setenv(kWorkerThreadsVariable, "0", 1), 0);
  EXPECT_EQ(worker_threads_from_env().error().description(),
            "\"TOKIO_WORKER_THREADS\" cannot be set to 0");

  ASSERT_EQ(unsetenv(kWorkerThreadsVariable), 0);
  got = worker_threads_from_env();
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(*got, platform::available_cpus());

  if (previous) setenv(kWorkerThreadsVariable, previous->c_str(), 1);
}

}  // namespace
}  // namespace tov::runtime
