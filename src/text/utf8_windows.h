// Reading a long UTF-16 string as UTF-8 one window at a time, so that the
// memory a call needs does not grow with the string and a walk that stops
// early reads little more than the part it keeps.
#pragma once

#include <cstddef>
#include <string_view>

namespace tov::text {

// Where the string's UTF-16 code units come from.
class UnitSource {
 public:
  // Copies units [begin, begin + count) of the string to `out`, which has
  // room for count + 1 units. False when they cannot be read.
  virtual bool read(std::size_t begin, std::size_t count, char16_t* out) = 0;

 protected:
  ~UnitSource() = default;
};

struct WindowSizes {
  std::size_t first;    // units in the first window
  std::size_t largest;  // windows double in size up to this many units
};

// The UTF-8 form of a string of `length` units, window by window: the bytes
// of all windows, joined, are exactly utf16_to_utf8 of the whole string. A
// window never ends between the two halves of a surrogate pair, so every
// window holds whole characters. Only one window's units and bytes are held
// at a time, in one block that grows with the windows, so that a walk which
// stops in its first window allocates no more than that window needs.
class Utf8Windows {
 public:
  Utf8Windows(UnitSource& source, std::size_t length, WindowSizes sizes);
  ~Utf8Windows();
  Utf8Windows(const Utf8Windows&) = delete;
  Utf8Windows& operator=(const Utf8Windows&) = delete;

  // Reads and encodes the next window. False at the end of the string, and
  // when the source could not read the window (failed() then says so).
  bool next();
  bool failed() const noexcept { return failed_; }

  // The current window: its UTF-8 bytes and the units they stand for.
  std::string_view bytes() const noexcept { return {block_, size_}; }
  std::size_t begin() const noexcept { return begin_; }
  std::size_t end() const noexcept { return end_; }
  bool last() const noexcept { return end_ == length_; }

  // The unit index in the whole string at which byte `offset` of the
  // current window starts, for an offset on a character boundary (or at the
  // window's end).
  std::size_t unit_at(std::size_t offset) const noexcept;

  // Whether every unit of the current window is ASCII, so that its bytes
  // and units correspond one to one.
  bool ascii() const noexcept { return size_ == end_ - begin_; }

  // Whether an unpaired surrogate became U+FFFD in the current window or an
  // earlier one: otherwise the bytes read so far stand for exactly the
  // string's characters.
  bool replaced() const noexcept { return replaced_; }

 private:
  // Short strings fit here, so that small calls allocate nothing.
  static constexpr std::size_t kInline = 4096;

  UnitSource& source_;
  std::size_t length_;
  std::size_t window_;   // units to ask for next
  std::size_t largest_;  // never more than this many
  void reserve(std::size_t units);

  char* block_ = nullptr;       // the bytes of the current window
  std::size_t capacity_ = 0;    // units that a window in block_ may have
  char16_t* staged_ = nullptr;  // where the units land, behind the bytes
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::size_t size_ = 0;
  bool replaced_ = false;
  bool failed_ = false;
  alignas(char16_t) char inline_[kInline];
};

}  // namespace tov::text
