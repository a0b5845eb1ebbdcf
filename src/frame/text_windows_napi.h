// A string argument read window by window (see text/utf8_windows.h), for
// the functions that stream over a text instead of holding all of it.
#pragma once

#include <node_api.h>

#include <cstddef>
#include <vector>

#include "frame/error_napi.h"
#include "text/utf8_windows.h"

namespace tov::frame {

// Windows grow to this many units. Each window past the first costs a few
// host calls (a slice and its copy); at this size that is well under one
// per cent, and the units and bytes of a window stay in the core's cache
// between being copied, encoded and consumed.
inline constexpr std::size_t kLargestWindow = 256 * 1024;

// For reading a whole text: every window as large as it gets.
inline constexpr text::WindowSizes kWholeTextWindows = {kLargestWindow, kLargestWindow};

class TextWindows {
 public:
  // `string` is a string of `length` units (see string_units), to be read
  // in windows of `sizes`. Nothing is read yet.
  TextWindows(napi_env env, napi_value string, std::size_t length, text::WindowSizes sizes);
  TextWindows(const TextWindows&) = delete;
  TextWindows& operator=(const TextWindows&) = delete;

  text::Utf8Windows& windows() noexcept { return windows_; }

  // The string conversion's error if the host failed to read a window.
  Status status();

 private:
  // The string's units, read from its start by the host and elsewhere from
  // a slice of the range.
  class Units final : public text::UnitSource {
   public:
    Units(napi_env env, napi_value string, std::size_t length);
    bool read(std::size_t begin, std::size_t count, char16_t* out) override;
    // Looks up the captured slice; false when there is none.
    bool find_slice();

    napi_env env_;
    napi_value string_;
    std::size_t length_;
    napi_value slice_ = nullptr;
    napi_status status_ = napi_ok;

   private:
    bool copy(napi_value string, std::size_t count, char16_t* out);
    bool read_slice(std::size_t begin, std::size_t count, char16_t* out);
    bool read_from_whole(std::size_t begin, std::size_t count, char16_t* out);

    // The whole string, read once when the captured slice does not behave
    // as the engine's does (a program replaced it before the module was
    // loaded): correct results then cost the memory of the old whole-text
    // read instead of failing.
    std::vector<char16_t> whole_;
  };
  static text::WindowSizes sizes_for(Units& units, std::size_t length, text::WindowSizes sizes);

  Units units_;
  text::Utf8Windows windows_;
};

}  // namespace tov::frame
