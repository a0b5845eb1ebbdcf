// Argument conversions: JavaScript values to the native values the function
// bodies work on. Every conversion returns a value or an error record with the
// exact message callers match on.
#pragma once

#include <node_api.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "frame/error_napi.h"
#include "platform/memory.h"

namespace tov::frame {

// A host handle scope, closed when the object goes away.
class HandleScope {
 public:
  explicit HandleScope(napi_env env) : env_(env) {
    if (napi_open_handle_scope(env, &scope_) != napi_ok) scope_ = nullptr;
  }
  ~HandleScope() {
    if (scope_ != nullptr) napi_close_handle_scope(env_, scope_);
  }
  HandleScope(const HandleScope&) = delete;
  HandleScope& operator=(const HandleScope&) = delete;

 private:
  napi_env env_;
  napi_handle_scope scope_ = nullptr;
};

// Owned UTF-8 text. Short texts stay inline so that small calls allocate nothing.
class Text {
 public:
  Text() = default;
  Text(Text&& other) noexcept;
  Text& operator=(Text&& other) noexcept;
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  ~Text();

  const char* data() const noexcept { return heap_ != nullptr ? heap_ : inline_; }
  std::size_t size() const noexcept { return size_; }
  std::string_view view() const noexcept { return {data(), size_}; }
  // Whether an unpaired surrogate of the string became U+FFFD: otherwise the
  // bytes stand for exactly the string's characters.
  bool replaced() const noexcept { return replaced_; }

 private:
  friend Result<Text> to_text(napi_env env, napi_value value);
  static constexpr std::size_t kInline = 128;
  char inline_[kInline];
  char* heap_ = nullptr;
  std::size_t size_ = 0;
  bool replaced_ = false;
};

// A Buffer argument's bytes, used in place. A synchronous call needs no
// reference to them: its argument stays reachable until it returns.
class BufferHandle {
 public:
  BufferHandle(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  const std::uint8_t* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

// Where converted strings of one argument live: one growing block, so that
// converting a list of many strings allocates a handful of times, not once per
// string. Strings are addressed by offset because the block may move.
class TextArena {
 public:
  struct Span {
    std::size_t offset;
    std::size_t size;
  };

  TextArena() = default;
  TextArena(TextArena&& other) noexcept;
  TextArena& operator=(TextArena&& other) noexcept;
  TextArena(const TextArena&) = delete;
  TextArena& operator=(const TextArena&) = delete;
  ~TextArena() { platform::free_block(bytes_); }

  Result<Span> append(napi_env env, napi_value value);
  std::string_view view(Span span) const noexcept { return {bytes_ + span.offset, span.size}; }

 private:
  void reserve_spare(std::size_t spare);
  // Where a string's UTF-16 units are copied before encoding, and how many
  // (terminator included) fit there.
  char16_t* staging_area(std::size_t& room_units);

  char* bytes_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// An array of strings.
class TextList {
 public:
  std::size_t size() const noexcept { return items_.size(); }
  std::string_view operator[](std::size_t index) const { return arena_.view(items_[index]); }

 private:
  friend Result<TextList> to_text_list(napi_env env, napi_value value);
  TextArena arena_;
  std::vector<TextArena::Span> items_;
};

// An array of arrays of strings, as manifests arrive. Every item is converted
// (so a bad item anywhere fails the call) but only the first two are kept:
// nothing reads the others.
class Manifest {
 public:
  struct Entry {
    std::uint32_t item_count;  // saturates; only "fewer than two" matters
    TextArena::Span key;
    TextArena::Span value;
  };

  std::size_t size() const noexcept { return entries_.size(); }
  const Entry& entry(std::size_t index) const { return entries_[index]; }
  std::string_view view(TextArena::Span span) const noexcept { return arena_.view(span); }

 private:
  friend Result<Manifest> to_manifest(napi_env env, napi_value value);
  TextArena arena_;
  std::vector<Entry> entries_;
};

Result<Text> to_text(napi_env env, napi_value value);
// The length in UTF-16 code units of a string argument, with the string
// conversion's error for any other value. Reads none of its characters.
Result<std::size_t> string_units(napi_env env, napi_value value);
Result<BufferHandle> to_buffer(napi_env env, napi_value value);
Result<TextList> to_text_list(napi_env env, napi_value value);
Result<Manifest> to_manifest(napi_env env, napi_value value);
Result<std::uint32_t> to_u32(napi_env env, napi_value value);

}  // namespace tov::frame
