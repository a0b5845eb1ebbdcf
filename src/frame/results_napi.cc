#include "frame/results_napi.h"

#include <cstring>
#include <memory>

#include "frame/render_napi.h"

namespace tov::frame {

namespace texts = base::texts;

// ---- Results ----

namespace {

bool is_ascii(std::string_view text) {
  const char* at = text.data();
  std::size_t left = text.size();
  std::uint64_t high = 0;
  for (; left >= 8; at += 8, left -= 8) {
    std::uint64_t word;
    std::memcpy(&word, at, 8);
    high |= word;
  }
  for (; left > 0; ++at, --left) high |= static_cast<unsigned char>(*at);
  return (high & 0x8080808080808080ull) == 0;
}

// The value a host call created, or the record of its failure.
Result<napi_value> created(napi_status status, napi_value value, base::FixedText failure) {
  if (status != napi_ok) return ErrorRecord(status, failure);
  return value;
}

}  // namespace

Result<napi_value> make_string(napi_env env, std::string_view text) {
  // ASCII is the same in UTF-8 and Latin-1, and the host copies Latin-1
  // straight into a one-byte string instead of decoding it.
  if (is_ascii(text)) return make_ascii_string(env, text);
  napi_value value = nullptr;
  const napi_status status = napi_create_string_utf8(env, text.data(), text.size(), &value);
  return created(status, value, texts::kStringResultFailed);
}

Result<napi_value> make_ascii_string(napi_env env, std::string_view text) {
  napi_value value = nullptr;
  const napi_status status = napi_create_string_latin1(env, text.data(), text.size(), &value);
  return created(status, value, texts::kStringResultFailed);
}

Result<napi_value> make_prefix_copy(napi_env env, napi_value whole, std::size_t units) {
  // The units go straight from one string to the other: decoding the same
  // characters from UTF-8 costs the host several times as much.
  // Short ones are copied through the stack: most cuts keep a few hundred
  // characters, and an allocation would be a good part of their cost.
  constexpr std::size_t kOnStack = 512;
  char16_t small[kOnStack];
  std::unique_ptr<char16_t[]> large;
  char16_t* copy = small;
  if (units >= kOnStack) {
    large.reset(new char16_t[units + 1]);
    copy = large.get();
  }
  std::size_t copied = 0;
  napi_status status = napi_get_value_string_utf16(env, whole, copy, units + 1, &copied);
  if (status == napi_ok && copied != units) status = napi_generic_failure;
  if (status != napi_ok) return unreadable_string(env, whole, status);
  napi_value value = nullptr;
  status = napi_create_string_utf16(env, copy, units, &value);
  return created(status, value, texts::kStringResultFailed);
}

Result<napi_value> make_u32(napi_env env, std::uint32_t number) {
  napi_value value = nullptr;
  const napi_status status = napi_create_uint32(env, number, &value);
  return created(status, value, texts::kU32ResultFailed);
}

Result<napi_value> make_array(napi_env env, std::size_t length) {
  napi_value array = nullptr;
  const napi_status status = napi_create_array_with_length(env, length, &array);
  return created(status, array, texts::kCreateArrayFailed);
}

Status set_element(napi_env env, napi_value array, std::size_t index, napi_value element) {
  const napi_status status =
      napi_set_element(env, array, static_cast<std::uint32_t>(index), element);
  if (status != napi_ok) return ErrorRecord(status, indexed(texts::kSetElementFailed, index));
  return {};
}

Result<napi_value> make_string_array(napi_env env, std::span<const std::string_view> items) {
  Result<napi_value> array = make_array(env, items.size());
  if (!array) return array;
  for (std::size_t index = 0; index < items.size(); ++index) {
    Result<napi_value> item = make_string(env, items[index]);
    if (!item) return item;
    TOV_CHECK(set_element(env, *array, index, *item));
  }
  return array;
}

Result<napi_value> make_object(napi_env env) {
  napi_value object = nullptr;
  const napi_status status = napi_create_object(env, &object);
  return created(status, object, "");
}

Status set_field(napi_env env, napi_value object, const char* name, napi_value value) {
  const napi_status status = napi_set_named_property(env, object, name, value);
  if (status != napi_ok) {
    return ErrorRecord(status, std::string(texts::kSetFieldFailed) + name + "`");
  }
  return {};
}

}  // namespace tov::frame
