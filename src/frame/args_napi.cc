#include "frame/args_napi.h"

#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "frame/render_napi.h"
#include "text/utf8.h"

namespace tov::frame {

namespace texts = base::texts;

namespace {

[[noreturn]] void out_of_memory() {
  throw std::bad_alloc();
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
  if (status != napi_ok) return ErrorRecord(status, indexed(texts::kGetElementFailed, index));
  return element;
}

}  // namespace

// ---- Text ----

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
    if (ref_status != napi_ok) return ErrorRecord(ref_status, texts::kBufferReferenceFailed);
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
  return {};
}

}  // namespace

Result<TextList> to_text_list(napi_env env, napi_value value) {
  TextList list;
  TOV_CHECK(each_element(
      env, value, [&](std::uint32_t room) { list.items_.reserve(room); },
      [&](napi_value element) -> Status {
        TOV_TRY(span, list.arena_.append(env, element));
        list.items_.push_back(span);
        return {};
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
        return {};
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

}  // namespace tov::frame
