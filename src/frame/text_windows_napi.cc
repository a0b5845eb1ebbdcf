#include "frame/text_windows_napi.h"

#include <cstdint>

#include "frame/convert_napi.h"
#include "frame/string_share_napi.h"

namespace tov::frame {

// Without the captured slice only the start of a string can be read, so the
// whole string is read as one window. A string that fits its first window
// needs no slice, and short calls skip looking for it.
text::WindowSizes TextWindows::sizes_for(Units& units, std::size_t length,
                                         text::WindowSizes sizes) {
  if (length <= sizes.first || units.find_slice()) return sizes;
  return {length, length};
}

TextWindows::Units::Units(napi_env env, napi_value string) : env_(env), string_(string) {}

bool TextWindows::Units::find_slice() {
  slice_ = captured_slice(env_);
  return slice_ != nullptr;
}

bool TextWindows::Units::read(std::size_t begin, std::size_t count, char16_t* out) {
  if (begin == 0) return copy(string_, count, out);
  // The host reads strings from their start only; a slice of the range
  // shares the string's characters, so only the window's units are copied.
  const std::size_t end = begin + count;
  if (slice_ == nullptr || end > UINT32_MAX) {
    status_ = napi_generic_failure;
    return false;
  }
  // Frees the slice's handles as soon as its units are copied.
  HandleScope scope(env_);
  napi_value args[2];
  napi_value piece = nullptr;
  status_ = napi_create_uint32(env_, static_cast<std::uint32_t>(begin), &args[0]);
  if (status_ == napi_ok)
    status_ = napi_create_uint32(env_, static_cast<std::uint32_t>(end), &args[1]);
  if (status_ == napi_ok) status_ = napi_call_function(env_, string_, slice_, 2, args, &piece);
  if (status_ != napi_ok) return false;
  return copy(piece, count, out);
}

bool TextWindows::Units::copy(napi_value string, std::size_t count, char16_t* out) {
  std::size_t copied = 0;
  status_ = napi_get_value_string_utf16(env_, string, out, count + 1, &copied);
  if (status_ == napi_ok && copied != count) status_ = napi_generic_failure;
  return status_ == napi_ok;
}

TextWindows::TextWindows(napi_env env, napi_value string, std::size_t length,
                         text::WindowSizes sizes)
    : units_(env, string), windows_(units_, length, sizes_for(units_, length, sizes)) {}

Status TextWindows::status() {
  if (!windows_.failed()) return ok_status();
  return unreadable_string(units_.env_, units_.string_, units_.status_);
}

}  // namespace tov::frame
