#include "frame/convert_napi.h"

#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "text/utf8.h"

namespace tov::frame {

namespace texts = base::texts;

namespace {

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
  if (status != napi_ok)
    return rendering_failure(env, status, texts::kGetNamedPropertyFailed);
  napi_value stringify = nullptr;
  status = napi_get_named_property(env, json, "stringify", &stringify);
  if (status != napi_ok)
    return rendering_failure(env, status, texts::kGetNamedPropertyFailed);
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

ErrorRecord text_error(napi_env env, napi_value value, napi_status status,
                       base::FixedText prefix) {
  Result<std::string> rendering = render_value(env, value);
  if (!rendering) return rendering.take_error();
  return ErrorRecord(status, std::string(prefix) + *rendering + texts::kIntoStringSuffix.c_str());
}

ErrorRecord not_a_string(napi_env env, napi_value value, napi_status status) {
  return text_error(env, value, status, texts::kNotAStringPrefix);
}

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

[[noreturn]] void out_of_memory() {
  throw std::bad_alloc();
}

std::string indexed(base::FixedText prefix, std::size_t index) {
  return std::string(prefix) + std::to_string(index) + "`";
}

// Checks the value is an array and returns its length.
Result<std::uint32_t> array_length(napi_env env, napi_value value) {
  bool is_array = false;
  napi_status status = napi_is_array(env, value, &is_array);
  if (status != napi_ok) return ErrorRecord(status, texts::kCheckArrayFailed);
  if (!is_array) return ErrorRecord(napi_invalid_arg, texts::kNotAnArray);
  std::uint32_t length = 0;
  status = napi_get_array_length(env, value, &length);
  if (status != napi_ok) return ErrorRecord(status, texts::kArrayLengthFailed);
  return length;
}

// How many items a list conversion reserves room for before reading any. An
// array's length is only a claim: a sparse array can report 2^32 - 1 items
// and hold none (its first hole then fails the conversion), and reserving for
// that claim would ask for tens of gigabytes and end the process. Longer
// lists grow as they are read, which costs a few copies of small records.
constexpr std::uint32_t kMaxReservedItems = 1 << 16;

std::uint32_t reservation_for(std::uint32_t length) {
  return length < kMaxReservedItems ? length : kMaxReservedItems;
}

// The items of a long list are only needed until their bytes are copied.
// Without inner scopes every fetched item keeps a handle until the call
// returns: megabytes of handle blocks for a large manifest, each written once
// and never read again. A fresh scope every few thousand items keeps them in
// cache.
constexpr std::uint32_t kItemsPerScope = 4096;

class ListScopes {
 public:
  explicit ListScopes(napi_env env) : env_(env) {}
  void at(std::uint32_t index) {
    if (index % kItemsPerScope != 0) return;
    scope_.reset();
    scope_.emplace(env_);
  }

 private:
  napi_env env_;
  std::optional<HandleScope> scope_;
};

Result<napi_value> array_element(napi_env env, napi_value array, std::uint32_t index) {
  napi_value element = nullptr;
  const napi_status status = napi_get_element(env, array, index, &element);
  if (status != napi_ok)
    return ErrorRecord(status, indexed(texts::kGetElementFailed, index));
  return element;
}

}  // namespace

// ---- Text ----

ErrorRecord unreadable_string(napi_env env, napi_value value, napi_status status) {
  return text_error(env, value, status, texts::kUnreadableStringPrefix);
}

Result<std::size_t> string_units(napi_env env, napi_value value) {
  std::size_t units = 0;
  const napi_status status = napi_get_value_string_utf16(env, value, nullptr, 0, &units);
  if (status != napi_ok) return not_a_string(env, value, status);
  return units;
}

Text::Text(Text&& other) noexcept
    : heap_(std::exchange(other.heap_, nullptr)), size_(other.size_), replaced_(other.replaced_) {
  if (heap_ == nullptr) std::memcpy(inline_, other.inline_, size_);
}

Text& Text::operator=(Text&& other) noexcept {
  if (this != &other) {
    delete[] heap_;
    heap_ = std::exchange(other.heap_, nullptr);
    size_ = other.size_;
    replaced_ = other.replaced_;
    if (heap_ == nullptr) std::memcpy(inline_, other.inline_, size_);
  }
  return *this;
}

Text::~Text() {
  delete[] heap_;
}

Result<Text> to_text(napi_env env, napi_value value) {
  // The UTF-16 length costs nothing to ask for and bounds the UTF-8 length
  // (at most three bytes per unit), so the buffer is sized from it. The
  // host's own UTF-8 writer goes one character at a time; copying the units
  // out (a plain copy for the host) and encoding them here in vector steps is
  // several times faster. Both share one buffer: the units go in behind the
  // room their UTF-8 form can need, and the encoder never overtakes them.
  TOV_TRY(units, string_units(env, value));
  Text text;
  // Units from an even offset at or past `units`, plus their terminator.
  const std::size_t units_at = units + (units & 1);
  const std::size_t needed = units_at + 2 * (units + 1);
  char* target = text.inline_;
  if (needed > Text::kInline) {
    text.heap_ = new char[needed];
    target = text.heap_;
  }
  auto* staged = reinterpret_cast<char16_t*>(target + units_at);
  std::size_t copied = 0;
  const napi_status status = napi_get_value_string_utf16(env, value, staged, units + 1, &copied);
  if (status != napi_ok) return unreadable_string(env, value, status);
  const text::Utf8Encoded encoded = text::utf16_to_utf8(staged, copied, target);
  text.size_ = encoded.size;
  text.replaced_ = encoded.replaced;
  return text;
}

// ---- Buffers ----

namespace {

// Some hosts' buffer query takes Buffers and Uint8Arrays only, while Node's
// takes every ArrayBufferView; the view queries give the same bytes there.
bool view_bytes(napi_env env, napi_value value, void** data, std::size_t* size) {
  bool is_view = false;
  if (napi_is_dataview(env, value, &is_view) == napi_ok && is_view) {
    napi_value backing = nullptr;
    std::size_t offset = 0;
    return napi_get_dataview_info(env, value, size, data, &backing, &offset) == napi_ok;
  }
  if (napi_is_typedarray(env, value, &is_view) != napi_ok || !is_view) return false;
  napi_typedarray_type type = napi_uint8_array;
  std::size_t length = 0;
  napi_value backing = nullptr;
  std::size_t offset = 0;
  if (napi_get_typedarray_info(env, value, &type, &length, data, &backing, &offset) != napi_ok)
    return false;
  std::size_t element = 1;
  switch (type) {
    case napi_int16_array:
    case napi_uint16_array:
      element = 2;
      break;
    case napi_int32_array:
    case napi_uint32_array:
    case napi_float32_array:
      element = 4;
      break;
    case napi_float64_array:
    case napi_bigint64_array:
    case napi_biguint64_array:
      element = 8;
      break;
    default:
      break;
  }
  *size = length * element;
  return true;
}

}  // namespace

Result<BufferHandle> to_buffer(napi_env env, napi_value value) {
  void* data = nullptr;
  std::size_t size = 0;
  const napi_status status = napi_get_buffer_info(env, value, &data, &size);
  if (status != napi_ok && !view_bytes(env, value, &data, &size)) {
    // A value the host will not even reference fails for that reason first.
    napi_ref ref = nullptr;
    const napi_status ref_status = napi_create_reference(env, value, 1, &ref);
    if (ref_status != napi_ok)
      return ErrorRecord(ref_status, texts::kBufferReferenceFailed);
    std::uint32_t count = 0;
    napi_reference_unref(env, ref, &count);
    napi_delete_reference(env, ref);
    return ErrorRecord(status, texts::kBufferInfoFailed);
  }
  // No reference is kept (see BufferHandle): it would cost more than hashing
  // a short Buffer.
  static const std::uint8_t kEmpty[1] = {0};
  const auto* bytes =
      size == 0 || data == nullptr ? kEmpty : static_cast<const std::uint8_t*>(data);
  return BufferHandle(bytes, data == nullptr ? 0 : size);
}

// ---- Lists ----

TextArena::TextArena(TextArena&& other) noexcept
    : bytes_(std::exchange(other.bytes_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

TextArena& TextArena::operator=(TextArena&& other) noexcept {
  if (this != &other) {
    platform::free_block(bytes_);
    bytes_ = std::exchange(other.bytes_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

void TextArena::reserve_spare(std::size_t spare) {
  if (capacity_ - size_ >= spare) return;
  std::size_t capacity = capacity_ < 4096 ? 4096 : capacity_ * 2;
  while (capacity - size_ < spare) capacity *= 2;
  void* grown = platform::reallocate_block(bytes_, size_, capacity);
  if (grown == nullptr) out_of_memory();
  bytes_ = static_cast<char*>(grown);
  capacity_ = capacity;
}

char16_t* TextArena::staging_area(std::size_t& room_units) {
  // Units go a third of the way into the spare room, at an even address:
  // their UTF-8 form, at most three bytes per unit, then fits in front of
  // them without overtaking them (see utf16_to_utf8).
  const std::size_t spare = capacity_ - size_;
  std::size_t offset = spare / 3 + 1;
  offset += (size_ + offset) & 1;
  room_units = (spare - offset) / 2;
  return reinterpret_cast<char16_t*>(bytes_ + size_ + offset);
}

Result<TextArena::Span> TextArena::append(napi_env env, napi_value value) {
  // Most strings fit the room already there: one host call copies their
  // units in, instead of a length query followed by a copy. They are then
  // encoded in place, as in to_text.
  reserve_spare(256);
  std::size_t room_units = 0;
  char16_t* staged = staging_area(room_units);
  std::size_t copied = 0;
  napi_status status = napi_get_value_string_utf16(env, value, staged, room_units, &copied);
  if (status != napi_ok) return not_a_string(env, value, status);
  if (copied + 1 >= room_units) {
    // Filled the room: perhaps cut short.
    std::size_t units = 0;
    status = napi_get_value_string_utf16(env, value, nullptr, 0, &units);
    if (status != napi_ok) return not_a_string(env, value, status);
    reserve_spare(3 * units + 8);
    staged = staging_area(room_units);
    status = napi_get_value_string_utf16(env, value, staged, room_units, &copied);
    if (status != napi_ok) return unreadable_string(env, value, status);
  }
  const std::size_t written = text::utf16_to_utf8(staged, copied, bytes_ + size_).size;
  const Span span{size_, written};
  size_ += written;
  return span;
}

namespace {

// Reads the array `value` element by element, in index order: tells
// `reserve` how many elements to make room for, hands each element to
// `visit`, and stops at the first failure. Handles last only a slice of
// kItemsPerScope elements at a time (see ListScopes).
template <class Reserve, class Visit>
Status each_element(napi_env env, napi_value value, Reserve&& reserve, Visit&& visit) {
  TOV_TRY(length, array_length(env, value));
  reserve(reservation_for(length));
  ListScopes scopes(env);
  for (std::uint32_t index = 0; index < length; ++index) {
    scopes.at(index);
    TOV_TRY(element, array_element(env, value, index));
    TOV_CHECK(visit(element));
  }
  return ok_status();
}

}  // namespace

Result<TextList> to_text_list(napi_env env, napi_value value) {
  TextList list;
  TOV_CHECK(each_element(
      env, value, [&](std::uint32_t room) { list.items_.reserve(room); },
      [&](napi_value element) -> Status {
        TOV_TRY(span, list.arena_.append(env, element));
        list.items_.push_back(span);
        return ok_status();
      }));
  return list;
}

Result<Manifest> to_manifest(napi_env env, napi_value value) {
  Manifest manifest;
  TOV_CHECK(each_element(
      env, value, [&](std::uint32_t room) { manifest.entries_.reserve(room); },
      [&](napi_value element) -> Status {
        TOV_TRY(items, array_length(env, element));
        Manifest::Entry entry{items, {0, 0}, {0, 0}};
        for (std::uint32_t item = 0; item < items; ++item) {
          TOV_TRY(text, array_element(env, element, item));
          TOV_TRY(span, manifest.arena_.append(env, text));
          if (item == 0) entry.key = span;
          if (item == 1) entry.value = span;
        }
        manifest.entries_.push_back(entry);
        return ok_status();
      }));
  return manifest;
}

Result<std::uint32_t> to_u32(napi_env env, napi_value value) {
  // Some hosts' integer query coerces any value (a string, undefined) to a
  // number instead of failing, so the type is checked here, as Node does.
  napi_valuetype type = napi_undefined;
  const napi_status type_status = napi_typeof(env, value, &type);
  if (type_status != napi_ok) return ErrorRecord(type_status, {});
  std::uint32_t number = 0;
  const napi_status status =
      type == napi_number ? napi_get_value_uint32(env, value, &number) : napi_number_expected;
  if (status == napi_ok) return number;
  return ErrorRecord(status, std::string(texts::kU32ConversionPrefix) + type_name(type) +
                                 texts::kU32ConversionSuffix.c_str());
}

// ---- Results ----

namespace {

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
  if (status != napi_ok)
    return ErrorRecord(status, indexed(texts::kSetElementFailed, index));
  return ok_status();
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
  return ok_status();
}

}  // namespace tov::frame
