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
// Forces one vector kernel, for tests and bug reports.
inline constexpr FixedText kForcedKernelVariable = "TOV_ENGINE_KERNEL";

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
// A path refused before any system call because it holds a NUL byte, in the
// words of the system at hand.
inline constexpr FixedText kNulInWindowsPath = "strings passed to WinAPI cannot contain NULs";
inline constexpr FixedText kNulInPosixPath = "paths cannot contain NUL bytes";
#if defined(_WIN32)
inline constexpr FixedText kNulInPath = kNulInWindowsPath;
#else
inline constexpr FixedText kNulInPath = kNulInPosixPath;
#endif
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

// --- The Node-API call frame ----------------------------------------------------
// Messages of error records; a trailing "`" or space means that a name, an
// index or a value follows. The status names ("InvalidArg", ...) and the
// type names in conversion messages ("Undefined", ...) are kept beside their
// lookups in frame/error_napi.cc and frame/render_napi.cc, under the same
// rule.
inline constexpr FixedText kFunctionCallInitFailed = "Failed to initialize napi function call.";
inline constexpr FixedText kRegisterFunctionFailed = "Failed to register function `";
inline constexpr FixedText kRegisterExportFailed = "Failed to register export `";
inline constexpr FixedText kGetGlobalFailed = "Get global object from Env failed";
inline constexpr FixedText kGetNamedPropertyFailed = "get_named_property_unchecked error";
inline constexpr FixedText kGetRawThisFailed = "Get raw this failed";
// Around the rendering of the value that is not a string.
inline constexpr FixedText kNotAStringPrefix = "Failed to convert JavaScript value `";
inline constexpr FixedText kUnreadableStringPrefix = "Failed to convert napi `";
inline constexpr FixedText kIntoStringSuffix = "` into rust type `String`";
inline constexpr FixedText kCheckArrayFailed = "Failed to check given napi value is array";
inline constexpr FixedText kNotAnArray = "Given napi value is not an array";
inline constexpr FixedText kArrayLengthFailed = "Failed to get Array length";
inline constexpr FixedText kGetElementFailed = "Failed to get element with index `";
inline constexpr FixedText kBufferReferenceFailed = "Failed to create reference from Buffer";
inline constexpr FixedText kBufferInfoFailed = "Failed to get Buffer pointer and length";
// Around the type name of the value that is not a number.
inline constexpr FixedText kU32ConversionPrefix = "Failed to convert napi value ";
inline constexpr FixedText kU32ConversionSuffix = " into rust type `u32`";
inline constexpr FixedText kStringResultFailed =
    "Failed to convert rust `String` into napi `string`";
inline constexpr FixedText kU32ResultFailed = "Failed to convert rust type `u32` into napi value";
inline constexpr FixedText kCreateArrayFailed = "Failed to create napi Array";
inline constexpr FixedText kSetElementFailed = "Failed to set element with index `";
inline constexpr FixedText kSetFieldFailed = "Failed to set property with field `";
inline constexpr FixedText kCreateErrorReferenceFailed = "Create Error reference failed";
inline constexpr FixedText kUnrefBufferReferenceFailed =
    "Failed to unref Buffer reference in Custom GC";
inline constexpr FixedText kDeleteBufferReferenceFailed =
    "Failed to delete Buffer reference in Custom GC";
inline constexpr FixedText kAddThreadCleanupHookFailed =
    "Failed to add remove thread id cleanup hook";
inline constexpr FixedText kCreateCustomGcFunctionFailed =
    "Create Custom GC Function in napi_register_module_v1 failed";
inline constexpr FixedText kCreateCustomGcNameFailed =
    "Create async resource string in napi_register_module_v1";
inline constexpr FixedText kCreateCustomGcFailed =
    "Create Custom GC ThreadsafeFunction in napi_register_module_v1 failed";
inline constexpr FixedText kUnrefCustomGcFailed =
    "Unref Custom GC ThreadsafeFunction in napi_register_module_v1 failed";
inline constexpr FixedText kCreateResourceNameFailed =
    "Create async resource name in JsDeferred failed";
inline constexpr FixedText kCreateThreadsafeFunctionFailed =
    "Create threadsafe function in JsDeferred failed";
// Fatal exits of the call frame.
inline constexpr FixedText kAllocationFailed = "memory allocation failed";
inline constexpr FixedText kUnexpectedNativeFailure = "unexpected failure in native code";
inline constexpr FixedText kCheckPendingExceptionFailed =
    "Failed to check for a pending JavaScript exception";
inline constexpr FixedText kTakePendingExceptionFailed =
    "Failed to take the pending JavaScript exception";

// --- Incremental hashing --------------------------------------------------------
// Saved hasher states that cannot be restored.
inline constexpr FixedText kSavedStateTooShort =
    "Invalid SHA-256 state: shorter than its 48-byte header";
inline constexpr FixedText kSavedStateMagic =
    "Invalid SHA-256 state: it does not start with \"tovh\"";
inline constexpr FixedText kSavedStateVersion =
    "Invalid SHA-256 state: a layout version this build does not know";
inline constexpr FixedText kSavedStateReserved = "Invalid SHA-256 state: reserved bytes are not zero";
inline constexpr FixedText kSavedStateCountTooLarge =
    "Invalid SHA-256 state: byte count beyond what SHA-256 takes (2^61 - 1)";
inline constexpr FixedText kSavedStateLength =
    "Invalid SHA-256 state: its length is not 48 plus the byte count modulo 64";
inline constexpr FixedText kSavedStateCountUnsafe =
    "Invalid SHA-256 state: byte count beyond 2^53 - 1, which JavaScript cannot count";
// A hasher's state given to the native side in a form it cannot use.
inline constexpr FixedText kHasherBadArguments = "tov-engine-native: malformed hasher call";

// --- The module -----------------------------------------------------------------
inline constexpr FixedText kVersion = "tov-engine-native/1.0.0";

}  // namespace texts
}  // namespace tov::base
