#include "frame/error_napi.h"

#include "platform/fatal.h"

namespace tov::frame {

namespace {

constexpr const char* kStatusNames[] = {
    "Ok",
    "InvalidArg",
    "ObjectExpected",
    "StringExpected",
    "NameExpected",
    "FunctionExpected",
    "NumberExpected",
    "BooleanExpected",
    "ArrayExpected",
    "GenericFailure",
    "PendingException",
    "Cancelled",
    "EscapeCalledTwice",
    "HandleScopeMismatch",
    "CallbackScopeMismatch",
    "QueueFull",
    "Closing",
    "BigintExpected",
    "DateExpected",
    "ArrayBufferExpected",
    "DetachableArraybufferExpected",
    "WouldDeadlock",
    "NoExternalBuffersAllowed",
};
constexpr int kLastKeptStatus = 22;

}  // namespace

// Reads a JavaScript string whole; an empty text when the value is not one.
std::string read_string(napi_env env, napi_value value) {
  size_t length = 0;
  if (napi_get_value_string_utf8(env, value, nullptr, 0, &length) != napi_ok) return {};
  std::string text(length, '\0');
  size_t written = 0;
  if (napi_get_value_string_utf8(env, value, text.data(), length + 1, &written) != napi_ok) {
    return {};
  }
  text.resize(written);
  return text;
}

int map_status(napi_status status) noexcept {
  const int code = static_cast<int>(status);
  return code >= 1 && code <= kLastKeptStatus ? code : kStatusUnknown;
}

const char* status_name(int status) noexcept {
  if (status >= 0 && status <= kLastKeptStatus) return kStatusNames[status];
  return "Unknown";
}

ErrorRecord::ErrorRecord(ErrorRecord&& other) noexcept
    : status_(other.status_),
      message_(std::move(other.message_)),
      source_env_(std::exchange(other.source_env_, nullptr)),
      source_(std::exchange(other.source_, nullptr)) {}

ErrorRecord& ErrorRecord::operator=(ErrorRecord&& other) noexcept {
  if (this != &other) {
    drop_source();
    status_ = other.status_;
    message_ = std::move(other.message_);
    source_env_ = std::exchange(other.source_env_, nullptr);
    source_ = std::exchange(other.source_, nullptr);
  }
  return *this;
}

ErrorRecord::~ErrorRecord() { drop_source(); }

void ErrorRecord::drop_source() noexcept {
  if (source_ != nullptr) {
    napi_delete_reference(source_env_, source_);
    source_ = nullptr;
  }
}

ErrorRecord ErrorRecord::from_pending_exception(napi_env env) {
  napi_value exception = nullptr;
  napi_get_and_clear_last_exception(env, &exception);
  napi_ref reference = nullptr;
  const napi_status status = napi_create_reference(env, exception, 1, &reference);
  if (status != napi_ok) return ErrorRecord(status, "Create Error reference failed");
  std::string message;
  napi_value as_string = nullptr;
  if (napi_coerce_to_string(env, exception, &as_string) == napi_ok) {
    message = read_string(env, as_string);
  } else {
    // Coercion may itself throw (a hostile toString); that exception is not
    // the one being reported.
    napi_value ignored = nullptr;
    napi_get_and_clear_last_exception(env, &ignored);
  }
  ErrorRecord record(napi_generic_failure, std::move(message));
  record.source_env_ = env;
  record.source_ = reference;
  return record;
}

napi_value ErrorRecord::to_error_value(napi_env env) {
  if (source_ != nullptr) {
    napi_value source = nullptr;
    napi_get_reference_value(source_env_, source_, &source);
    drop_source();
    bool is_error = false;
    if (source != nullptr && napi_is_error(env, source, &is_error) == napi_ok && is_error) {
      return source;
    }
  }
  napi_value code = nullptr;
  napi_value message = nullptr;
  napi_value error = nullptr;
  napi_create_string_utf8(env, status_name(status_), NAPI_AUTO_LENGTH, &code);
  napi_create_string_utf8(env, message_.data(), message_.size(), &message);
  napi_create_error(env, code, message, &error);
  return error;
}

void throw_record(napi_env env, ErrorRecord record) {
  if (record.status() == napi_pending_exception) return;
  bool pending = false;
  if (napi_is_exception_pending(env, &pending) != napi_ok) {
    platform::fatal("Failed to check for a pending JavaScript exception");
  }
  if (pending) {
    napi_value exception = nullptr;
    if (napi_get_and_clear_last_exception(env, &exception) != napi_ok) {
      platform::fatal("Failed to take the pending JavaScript exception");
    }
    napi_throw(env, exception);
    return;
  }
  napi_throw(env, record.to_error_value(env));
}

}  // namespace tov::frame
