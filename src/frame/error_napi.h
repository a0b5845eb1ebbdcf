// Error records: how every failure travels up to the call frame, and the rule
// that turns a record into a JavaScript exception (or a rejection value).
#pragma once

#include <node_api.h>

#include <cstdint>
#include <string>
#include <utility>

#include "base/result.h"
#include "base/texts.h"

namespace tov::frame {

// Host statuses 1..22 are kept; anything else becomes 1024 ("Unknown").
constexpr int kStatusUnknown = 1024;
int map_status(napi_status status) noexcept;
const char* status_name(int status) noexcept;

// Reads a JavaScript string whole, for messages; an empty text when the value
// is not a string.
std::string read_string(napi_env env, napi_value value);

// A failure on its way to JavaScript. When made from a JavaScript exception it
// owns a reference to that exception, deleted with the record.
class ErrorRecord {
 public:
  ErrorRecord(napi_status status, std::string message)
      : status_(map_status(status)), message_(std::move(message)) {}
  ErrorRecord(napi_status status, base::FixedText message)
      : ErrorRecord(status, std::string(message)) {}
  ErrorRecord(ErrorRecord&& other) noexcept;
  ErrorRecord& operator=(ErrorRecord&& other) noexcept;
  ErrorRecord(const ErrorRecord&) = delete;
  ErrorRecord& operator=(const ErrorRecord&) = delete;
  ~ErrorRecord();

  // Takes the pending JavaScript exception (status GenericFailure, message
  // from coercing it to a string).
  static ErrorRecord from_pending_exception(napi_env env);

  int status() const noexcept { return status_; }
  const std::string& message() const noexcept { return message_; }

  // The JavaScript error value of this record, without throwing it: the
  // source exception when it is an error object, else a new Error whose
  // `code` is the status name. Consumes the source reference.
  napi_value to_error_value(napi_env env);

 private:
  void drop_source() noexcept;

  int status_;
  std::string message_;
  napi_env source_env_ = nullptr;
  napi_ref source_ = nullptr;
};

// Throws the record by the exception rule: a pending exception always wins,
// a PendingException record throws nothing.
void throw_record(napi_env env, ErrorRecord record);

// A value or an error record.
template <class T>
using Result = base::Result<T, ErrorRecord>;

// Success of an operation that yields nothing, or an error record.
using Status = base::Result<void, ErrorRecord>;

}  // namespace tov::frame
