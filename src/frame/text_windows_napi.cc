#include "frame/text_windows_napi.h"

#include <algorithm>
#include <cstdint>

#include "frame/args_napi.h"
#include "frame/render_napi.h"
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

TextWindows::Units::Units(napi_env env, napi_value string, std::size_t length)
    : env_(env), string_(string), length_(length) {}

bool TextWindows::Units::find_slice() {
  slice_ = captured_slice(env_);
  return slice_ != nullptr;
}

bool TextWindows::Units::read(std::size_t begin, std::size_t count, char16_t* out) {
  if (!whole_.empty()) return read_from_whole(begin, count, out);
  if (begin == 0) return copy(string_, count, out);
  return read_slice(begin, count, out) || read_from_whole(begin, count, out);
}

// The host reads strings from their start only; a slice of the range shares
// the string's characters, so only the window's units are copied.
bool TextWindows::Units::read_slice(std::size_t begin, std::size_t count, char16_t* out) {
  const std::size_t end = begin + count;
  if (slice_ == nullptr || end > UINT32_MAX) return false;
  // Frees the slice's handles as soon as its units are copied.
  HandleScope scope(env_);
  napi_value args[2];
  napi_value piece = nullptr;
  napi_valuetype type = napi_undefined;
  std::size_t units = 0;
  if (napi_create_uint32(env_, static_cast<std::uint32_t>(begin), &args[0]) != napi_ok ||
      napi_create_uint32(env_, static_cast<std::uint32_t>(end), &args[1]) != napi_ok) {
    return false;
  }
  if (napi_call_function(env_, string_, slice_, 2, args, &piece) != napi_ok) {
    // A replacement that throws: its exception is ours to drop, since the
    // call frame lets no body start with one pending.
    bool pending = false;
    if (napi_is_exception_pending(env_, &pending) == napi_ok && pending) {
      napi_value ignored;
      napi_get_and_clear_last_exception(env_, &ignored);
    }
    return false;
  }
  // What a replaced slice gives back is used only if it is a string of the
  // window's length.
  if (napi_typeof(env_, piece, &type) != napi_ok || type != napi_string ||
      napi_get_value_string_utf16(env_, piece, nullptr, 0, &units) != napi_ok || units != count) {
    return false;
  }
  return copy(piece, count, out);
}

bool TextWindows::Units::read_from_whole(std::size_t begin, std::size_t count, char16_t* out) {
  if (whole_.empty()) {
    whole_.resize(length_ + 1);
    if (!copy(string_, length_, whole_.data())) {
      whole_.clear();
      return false;
    }
  }
  std::copy_n(whole_.data() + begin, count, out);
  status_ = napi_ok;
  return true;
}

bool TextWindows::Units::copy(napi_value string, std::size_t count, char16_t* out) {
  std::size_t copied = 0;
  status_ = napi_get_value_string_utf16(env_, string, out, count + 1, &copied);
  if (status_ == napi_ok && copied != count) status_ = napi_generic_failure;
  return status_ == napi_ok;
}

TextWindows::TextWindows(napi_env env, napi_value string, std::size_t length,
                         text::WindowSizes sizes)
    : units_(env, string, length), windows_(units_, length, sizes_for(units_, length, sizes)) {}

Status TextWindows::status() {
  if (!windows_.failed()) return {};
  return unreadable_string(units_.env_, units_.string_, units_.status_);
}

}  // namespace tov::frame
