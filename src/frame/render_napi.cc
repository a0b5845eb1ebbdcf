#include "frame/render_napi.h"

#include <cstring>
#include <optional>
#include <utility>

#include "text/utf8.h"

namespace tov::frame {

namespace texts = base::texts;

namespace {

// Messages quote at most this many bytes of a value's rendering; a longer
// one is cut at a character boundary and ends in an ellipsis. A message is
// read by people, and a whole large value in it costs its size again in
// memory and time for nothing.
constexpr std::size_t kRenderedBytesMax = 1024;
constexpr char kEllipsis[] = "\xE2\x80\xA6";

// The string `value` as quoted in a message: cut to kRenderedBytesMax bytes,
// which `cut` tells.
std::string quoted_string(napi_env env, napi_value value, bool* cut = nullptr) {
  if (cut != nullptr) *cut = false;
  std::size_t units = 0;
  if (napi_get_value_string_utf16(env, value, nullptr, 0, &units) != napi_ok) return {};
  // A string has at least as many UTF-8 bytes as UTF-16 units: a short one
  // is read whole and cut afterwards, a long one only as far as is quoted.
  std::string text;
  if (units <= kRenderedBytesMax) {
    text = read_string(env, value);
    if (text.size() <= kRenderedBytesMax) return text;
    std::size_t end = kRenderedBytesMax;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
  } else {
    // The host writes whole characters only, so the prefix is valid UTF-8.
    text.assign(kRenderedBytesMax + 1, '\0');
    std::size_t written = 0;
    if (napi_get_value_string_utf8(env, value, text.data(), text.size(), &written) != napi_ok) {
      return {};
    }
    text.resize(written);
  }
  if (cut != nullptr) *cut = true;
  return text + kEllipsis;
}

std::string coerced_string(napi_env env, napi_value value, bool* cut = nullptr) {
  napi_value as_string = nullptr;
  if (napi_coerce_to_string(env, value, &as_string) != napi_ok) return {};
  return quoted_string(env, as_string, cut);
}

bool exception_pending(napi_env env) {
  bool pending = false;
  return napi_is_exception_pending(env, &pending) == napi_ok && pending;
}

// A rendering failed. If it raised a JavaScript exception (a throwing
// getter, toJSON or stringify) that exception is what gets reported,
// whatever status the host returned with it.
ErrorRecord rendering_failure(napi_env env, napi_status status, base::FixedText message) {
  if (exception_pending(env)) return ErrorRecord::from_pending_exception(env);
  return ErrorRecord(status, message);
}

// Arrays and typed arrays longer than this are rendered from a view of their
// first elements, with the prototype of the whole (so that an inherited
// toJSON, as Buffers have, still applies): the JSON of every element takes at
// least two characters, so the view's JSON runs past the quoted length and
// what is quoted is exactly the start of the whole's JSON. Stringifying the
// whole would first build its entire JSON, for a 300 MB Buffer more than the
// engine's heap can hold.
constexpr std::uint32_t kViewedElements = kRenderedBytesMax;

bool same_prototype(napi_env env, napi_value view, napi_value whole) {
  napi_value view_prototype = nullptr;
  napi_value whole_prototype = nullptr;
  bool same = false;
  if (napi_get_prototype(env, view, &view_prototype) != napi_ok ||
      napi_get_prototype(env, whole, &whole_prototype) != napi_ok) {
    return false;
  }
  return napi_strict_equals(env, view_prototype, whole_prototype, &same) == napi_ok && same;
}

// Gives `view` the prototype of `whole` if it can. The view serves without
// it (only a Buffer's message then shows its elements in another form), so
// a failure here is not reported.
void adopt_prototype(napi_env env, napi_value global, napi_value view, napi_value whole) {
  if (same_prototype(env, view, whole)) return;
  napi_value object_class = nullptr;
  napi_value set_prototype = nullptr;
  napi_value args[2] = {view, nullptr};
  napi_value ignored = nullptr;
  if (napi_get_named_property(env, global, "Object", &object_class) != napi_ok ||
      napi_get_named_property(env, object_class, "setPrototypeOf", &set_prototype) != napi_ok ||
      napi_get_prototype(env, whole, &args[1]) != napi_ok ||
      napi_call_function(env, object_class, set_prototype, 2, args, &ignored) != napi_ok) {
    if (exception_pending(env)) napi_get_and_clear_last_exception(env, &ignored);
  }
}

// A toJSON of the value's own decides its rendering, and a view lacks it.
bool has_own_to_json(napi_env env, napi_value value) {
  napi_value key = nullptr;
  bool has_own = false;
  return napi_create_string_latin1(env, "toJSON", NAPI_AUTO_LENGTH, &key) != napi_ok ||
         napi_has_own_property(env, value, key, &has_own) != napi_ok || has_own;
}

// The first kViewedElements elements of a long array or typed array. nullptr
// when the value is neither, is short, or no view can be made; an exception
// is then pending only if reading an element raised it.
napi_value leading_view(napi_env env, napi_value global, napi_value value) {
  bool is_typed = false;
  bool is_array = false;
  napi_value view = nullptr;
  if (napi_is_typedarray(env, value, &is_typed) == napi_ok && is_typed) {
    napi_typedarray_type type;
    std::size_t length = 0;
    napi_value buffer = nullptr;
    std::size_t offset = 0;
    if (napi_get_typedarray_info(env, value, &type, &length, nullptr, &buffer, &offset) !=
            napi_ok ||
        length <= kViewedElements || has_own_to_json(env, value) ||
        napi_create_typedarray(env, type, kViewedElements, buffer, offset, &view) != napi_ok) {
      return nullptr;
    }
  } else if (napi_is_array(env, value, &is_array) == napi_ok && is_array) {
    std::uint32_t length = 0;
    if (napi_get_array_length(env, value, &length) != napi_ok || length <= kViewedElements ||
        has_own_to_json(env, value) ||
        napi_create_array_with_length(env, kViewedElements, &view) != napi_ok) {
      return nullptr;
    }
    // Read in index order, as stringify would, so that getters run alike.
    for (std::uint32_t index = 0; index < kViewedElements; ++index) {
      napi_value element = nullptr;
      if (napi_get_element(env, value, index, &element) != napi_ok ||
          napi_set_element(env, view, index, element) != napi_ok) {
        return nullptr;
      }
    }
  } else {
    return nullptr;
  }
  adopt_prototype(env, global, view, value);
  return view;
}

Result<std::string> render_object(napi_env env, napi_value value) {
  napi_value global = nullptr;
  napi_status status = napi_get_global(env, &global);
  if (status != napi_ok) return ErrorRecord(status, texts::kGetGlobalFailed);
  napi_value json = nullptr;
  status = napi_get_named_property(env, global, "JSON", &json);
  if (status != napi_ok) return rendering_failure(env, status, texts::kGetNamedPropertyFailed);
  napi_value stringify = nullptr;
  status = napi_get_named_property(env, json, "stringify", &stringify);
  if (status != napi_ok) return rendering_failure(env, status, texts::kGetNamedPropertyFailed);
  napi_value undefined = nullptr;
  status = napi_get_undefined(env, &undefined);
  if (status != napi_ok) return ErrorRecord(status, texts::kGetRawThisFailed);
  napi_value text = nullptr;
  if (napi_value view = leading_view(env, global, value); view != nullptr) {
    status = napi_call_function(env, undefined, stringify, 1, &view, &text);
    if (status != napi_ok) return rendering_failure(env, status, "");
    bool cut = false;
    std::string quoted = coerced_string(env, text, &cut);
    // A JSON that stops short of the cut did not come from the elements
    // alone (a toJSON of its own, say): only the whole value says what it is.
    if (cut) return "Object " + quoted;
  } else if (exception_pending(env)) {
    return rendering_failure(env, napi_pending_exception, "");
  }
  status = napi_call_function(env, undefined, stringify, 1, &value, &text);
  if (status != napi_ok) return rendering_failure(env, status, "");
  return "Object " + coerced_string(env, text);
}

Result<std::string> render_function(napi_env env, napi_value value) {
  napi_value name = nullptr;
  const napi_status status = napi_get_named_property(env, value, "name", &name);
  if (status != napi_ok) return rendering_failure(env, status, "");
  std::string text = quoted_string(env, name);
  if (text.empty()) text = "anonymous";
  return "function " + text + "(..) ";
}

// How a value is quoted in conversion messages.
Result<std::string> render_value(napi_env env, napi_value value) {
  napi_valuetype type = napi_undefined;
  const napi_status status = napi_typeof(env, value, &type);
  if (status != napi_ok) return ErrorRecord(status, {});
  switch (type) {
    case napi_boolean:
    case napi_number:
    case napi_bigint:
      return std::string(type_name(type)) + " " + coerced_string(env, value) + " ";
    case napi_object:
      return render_object(env, value);
    case napi_function:
      return render_function(env, value);
    case napi_undefined:
    case napi_null:
    case napi_string:
    case napi_symbol:
    case napi_external:
      return std::string(type_name(type));
    default:
      return std::string("Unknown");
  }
}

ErrorRecord text_error(napi_env env, napi_value value, napi_status status, base::FixedText prefix) {
  Result<std::string> rendering = render_value(env, value);
  if (!rendering) return rendering.take_error();
  return ErrorRecord(status, std::string(prefix) + *rendering + texts::kIntoStringSuffix.c_str());
}

}  // namespace

const char* type_name(napi_valuetype type) {
  switch (type) {
    case napi_undefined:
      return "Undefined";
    case napi_null:
      return "Null";
    case napi_boolean:
      return "Boolean";
    case napi_number:
      return "Number";
    case napi_string:
      return "String";
    case napi_symbol:
      return "Symbol";
    case napi_object:
      return "Object";
    case napi_function:
      return "Function";
    case napi_external:
      return "External";
    case napi_bigint:
      return "BigInt";
    default:
      return "Unknown";
  }
}

ErrorRecord not_a_string(napi_env env, napi_value value, napi_status status) {
  return text_error(env, value, status, texts::kNotAStringPrefix);
}

ErrorRecord unreadable_string(napi_env env, napi_value value, napi_status status) {
  return text_error(env, value, status, texts::kUnreadableStringPrefix);
}

std::string indexed(base::FixedText prefix, std::size_t index) {
  return std::string(prefix) + std::to_string(index) + "`";
}

}  // namespace tov::frame
