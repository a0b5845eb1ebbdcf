// The result of a fallible core operation: its value, or the error that
// stopped it. Errors are values, never exceptions, so that they cross thread
// and module boundaries unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "base/texts.h"

namespace tov::base {

// The system's text for one of its error codes. The platform layer supplies
// it with each error it makes (platform::os_error), so that this layer, which
// the platform layer builds on, knows no system.
using CodeText = std::string (*)(std::int32_t code);

// Why an operation failed: the system's own error code, one of the fixed
// texts, or (rarely) a message put together at run time.
class Error {
 public:
  // `code` is the system's own number for the failure: errno on POSIX
  // systems, the Win32 error code on Windows; `describe` (never null) names it.
  static Error system(std::int32_t code, CodeText describe) noexcept {
    Error error(Kind::kSystem, code, nullptr);
    error.describe_ = describe;
    return error;
  }
  Error(FixedText text) noexcept : Error(Kind::kFixed, 0, text.c_str()) {}
  static Error composed(std::string text);

  bool is_system() const noexcept { return kind_ == Kind::kSystem; }
  // The system's code for a system error, otherwise 0.
  std::int32_t system_code() const noexcept { return kind_ == Kind::kSystem ? code_ : 0; }
  // Whether this error is `text` (compared by content, since the same text
  // may be stored more than once in the program).
  bool is(FixedText text) const noexcept { return kind_ == Kind::kFixed && text.view() == fixed_; }

  // For a system error the system's own description in the form "No such
  // file or directory (os error 2)"; otherwise the text.
  std::string description() const;

 private:
  enum class Kind : std::uint8_t { kSystem, kFixed, kComposed };
  Error(Kind kind, std::int32_t code, const char* fixed) noexcept
      : kind_(kind), code_(code), fixed_(fixed) {}

  Kind kind_;
  std::int32_t code_;
  union {
    const char* fixed_;  // kFixed
    CodeText describe_;  // kSystem
  };
  std::string composed_;
};

// A value of type T or an error of type E. The cores use base::Error; the
// Node-API call frame uses its error records (frame::Result), which carry a
// host status as well.
template <class T, class E = Error>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}
  Result(FixedText text) requires std::is_constructible_v<E, FixedText>
      : state_(std::in_place_index<1>, E(text)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  // Only when ok().
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // Only when !ok().
  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }
  E take_error() { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, E> state_;
};

// Success without a value, or an error.
template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() noexcept = default;
  Result(E error) : error_(std::move(error)) {}
  Result(FixedText text) requires std::is_constructible_v<E, FixedText> : error_(E(text)) {}

  bool ok() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }

  // Only when !ok().
  const E& error() const& { return *error_; }
  E&& error() && { return std::move(*error_); }
  E take_error() { return std::move(*error_); }

 private:
  std::optional<E> error_;
};

using Status = Result<void>;

// Result<T> for a T that is not a Result already; a Result stays as it is.
template <class T>
struct AsResult {
  using type = Result<T>;
};
template <class T, class E>
struct AsResult<Result<T, E>> {
  using type = Result<T, E>;
};
template <class T>
using AsResultT = typename AsResult<T>::type;

}  // namespace tov::base

// Unwraps a Result into `name`, or returns its error from the caller.
#define TOV_TRY(name, expr)                              \
  auto name##_result = (expr);                           \
  if (!name##_result) return name##_result.take_error(); \
  auto& name = name##_result.value()

// Returns the error of a failed Status from the caller.
#define TOV_CHECK(expr)                                          \
  do {                                                           \
    auto tov_check_result = (expr);                              \
    if (!tov_check_result) return tov_check_result.take_error(); \
  } while (false)
