#include "text/utf8_windows.h"

#include <algorithm>

#include "text/utf8.h"

namespace tov::text {

namespace {

bool is_high_surrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}

}  // namespace

Utf8Windows::Utf8Windows(UnitSource& source, std::size_t length, WindowSizes sizes)
    : source_(source), length_(length) {
  // Two units at least, so that holding back a high surrogate still leaves
  // a window that moves on.
  largest_ = std::max<std::size_t>(std::min(sizes.largest, length), 2);
  window_ = std::clamp<std::size_t>(sizes.first, 2, largest_);
}

void Utf8Windows::reserve(std::size_t units) {
  if (units <= capacity_) return;
  // The units go in behind the room their UTF-8 form can need (three bytes
  // a unit), at an even offset; the encoder never overtakes them (see
  // utf16_to_utf8). One more unit holds the source's terminator.
  const std::size_t units_at = units + (units & 1);
  const std::size_t needed = units_at + 2 * (units + 1);
  char* block = needed <= kInline ? inline_ : new char[needed];
  if (block_ != inline_) delete[] block_;
  block_ = block;
  staged_ = reinterpret_cast<char16_t*>(block_ + units_at);
  capacity_ = units;
}

Utf8Windows::~Utf8Windows() {
  if (block_ != inline_) delete[] block_;
}

bool Utf8Windows::next() {
  if (failed_ || end_ == length_) return false;
  begin_ = end_;
  std::size_t count = std::min(window_, length_ - begin_);
  reserve(count);
  if (!source_.read(begin_, count, staged_)) {
    failed_ = true;
    size_ = 0;
    return false;
  }
  // A high surrogate at the edge waits for the next window, where its low
  // half (if it has one) follows it.
  if (begin_ + count < length_ && is_high_surrogate(staged_[count - 1])) --count;
  const Utf8Encoded encoded = utf16_to_utf8(staged_, count, block_);
  size_ = encoded.size;
  replaced_ = replaced_ || encoded.replaced;
  end_ = begin_ + count;
  window_ = std::min(window_ * 2, largest_);
  return true;
}

std::size_t Utf8Windows::unit_at(std::size_t offset) const noexcept {
  return begin_ + (ascii() ? offset : utf16_length(bytes().substr(0, offset)));
}

}  // namespace tov::text
