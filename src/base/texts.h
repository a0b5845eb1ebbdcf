// The fixed texts of this engine: messages that reach JavaScript or standard
// error, the names of the environment variables it reads, and the names it
// gives its threads.
//
// They never change. Callers match on these messages (tests, retry logic,
// log filters), stored logs and bug reports quote them, deployments set
// these variables in their environment, and monitoring finds the threads by
// these names; changing a single character breaks all of them silently, and
// no compiler or test of ours would notice. Add to the table; never edit it.
#pragma once

#include <string_view>

namespace tov::base {

// A text known when the program is compiled. The constructor runs only at
// compile time, so the pointer always refers to text with static storage and
// can outlive whatever carried it (an exception object, an error value).
class FixedText {
 public:
  consteval FixedText(const char* text) noexcept : text_(text) {}
  constexpr const char* c_str() const noexcept { return text_; }
  constexpr std::string_view view() const noexcept { return text_; }
  constexpr operator std::string_view() const noexcept { return text_; }

 private:
  const char* text_;
};

namespace texts {

// --- Environment variables ------------------------------------------------
// Worker threads of the background runtime.
inline constexpr FixedText kWorkerThreadsVariable = "TOKIO_WORKER_THREADS";
// Threads of the data-parallel pool: the count, then the fallback count.
inline constexpr FixedText kPoolThreadsVariable = "RAYON_NUM_THREADS";
inline constexpr FixedText kPoolCpusVariable = "RAYON_RS_NUM_CPUS";

// --- Thread names -----------------------------------------------------------
inline constexpr FixedText kWorkerThreadName = "tov-worker";
inline constexpr FixedText kBlockingThreadName = "tov-blocking";
// Followed by the thread's number, from 0.
inline constexpr FixedText kPoolThreadNamePrefix = "tov-pool-";

// --- Reasons carried by errors ----------------------------------------------
inline constexpr FixedText kOutOfMemory = "out of memory";
// A background job that ended without a result.
inline constexpr FixedText kBackgroundTaskFailed = "background task failed";
// What a task's fault handler receives for a fault without a fixed text.
inline constexpr FixedText kPanicInAsyncFunction = "Panic in async function";
// A path refused before any system call because it holds a NUL byte.
inline constexpr FixedText kNulInPath = "strings passed to WinAPI cannot contain NULs";
inline constexpr FixedText kUnknownError = "unknown error";

// --- Counts read from the environment -----------------------------------------
inline constexpr FixedText kCountEmpty = "cannot parse integer from empty string";
inline constexpr FixedText kCountInvalidDigit = "invalid digit found in string";
inline constexpr FixedText kCountTooLarge = "number too large to fit in target type";
// The parts of the worker-count messages, around the quoted variable name:
//   "TOKIO_WORKER_THREADS" must be valid unicode, error: invalid UTF-8 at byte N of "..."
//   "TOKIO_WORKER_THREADS" must be usize, error: <count error>, value: <value>
//   "TOKIO_WORKER_THREADS" cannot be set to 0
inline constexpr FixedText kMustBeUnicode = " must be valid unicode, error: invalid UTF-8 at byte ";
inline constexpr FixedText kMustBeUnicodeOf = " of ";
inline constexpr FixedText kMustBeUsize = " must be usize, error: ";
inline constexpr FixedText kMustBeUsizeValue = ", value: ";
inline constexpr FixedText kCannotBeZero = " cannot be set to 0";

// --- Messages of fatal exits and rejected promises ----------------------------
// Followed by the reason.
inline constexpr FixedText kRuntimeBuildFailed = "Create tokio runtime failed: ";
inline constexpr FixedText kRuntimeNotRunning = "The background runtime is not running";
inline constexpr FixedText kRuntimeShutDownFromOwnThread =
    "Background runtime shut down from one of its own threads";
// Followed by the reason; the rejection message of fileHash.
inline constexpr FixedText kReadError = "Read error: ";
// Followed by what failed.
inline constexpr FixedText kDigestFailed = "tov-engine-native: SHA-256 failed: ";

// --- The module -----------------------------------------------------------------
inline constexpr FixedText kVersion = "tov-engine-native/1.0.0";

}  // namespace texts
}  // namespace tov::base
