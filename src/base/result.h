// The result of a fallible core operation: its value, or the error that
// stopped it. Errors are values, never exceptions, so that they cross thread
// and module boundaries unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "base/texts.h"

namespace tov::base {

// Why an operation failed: the system's own error code, one of the fixed
// texts, or (rarely) a message put together at run time.
class Error {
 public:
  // `code` is the system's own number for the failure: errno on POSIX
  // systems, the Win32 error code on Windows.
  static Error system(std::int32_t code) noexcept { return Error(Kind::kSystem, code, nullptr); }
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
  const char* fixed_;
  std::string composed_;
};

// A value of type T or an Error.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}
  Result(FixedText text) : state_(std::in_place_index<1>, Error(text)) {}

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
  const Error& error() const& { return std::get<1>(state_); }
  Error&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, Error> state_;
};

// Success without a value, or an Error.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() noexcept = default;
  Result(Error error) : error_(std::move(error)) {}
  Result(FixedText text) : error_(Error(text)) {}

  bool ok() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }

  // Only when !ok().
  const Error& error() const& { return *error_; }
  Error&& error() && { return std::move(*error_); }

 private:
  std::optional<Error> error_;
};

using Status = Result<void>;

// Result<T> for a T that is not a Result already; a Result stays as it is.
template <class T>
struct AsResult {
  using type = Result<T>;
};
template <class T>
struct AsResult<Result<T>> {
  using type = Result<T>;
};
template <class T>
using AsResultT = typename AsResult<T>::type;

}  // namespace tov::base
