// Token estimate and token-budget truncation of UTF-8 text.
//
// The estimate counts every run of ASCII letters, digits and underscores as
// one token and every other byte except the four blanks (space, tab, line
// feed, carriage return) as one token. It works on bytes only, so a
// multi-byte character counts one token per byte.
//
// Each operation has a `_scalar` twin that walks one byte at a time. The
// twins are the reference the vectorised versions are tested against; use
// the plain names everywhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tov::text {
class Utf8Windows;
}

namespace tov::tokens {

// Token estimate, modulo 2^32.
std::uint32_t count_tokens(std::string_view text) noexcept;
std::uint32_t count_tokens_scalar(std::string_view text) noexcept;

// Where the budget walk stops: the position of the first token-starting byte
// that would make the count exceed `budget`, or text.size() when the whole
// text fits. 0 for a budget of 0. The position may fall inside a multi-byte
// character.
std::size_t walk_cut(std::string_view text, std::uint32_t budget) noexcept;
std::size_t walk_cut_scalar(std::string_view text, std::uint32_t budget) noexcept;

// The token estimate of a text that arrives in pieces, split anywhere: the
// same count as count_tokens of the pieces joined.
class TokenCount {
 public:
  void add(std::string_view piece) noexcept;
  // Modulo 2^32, like count_tokens.
  std::uint32_t total() const noexcept { return static_cast<std::uint32_t>(count_); }

 private:
  std::uint64_t count_ = 0;
  bool previous_word_ = false;
};

// The budget walk of walk_cut over a text that arrives in pieces, split
// anywhere: stops where walk_cut of the pieces joined stops.
class TokenWalk {
 public:
  static constexpr std::size_t npos = std::string_view::npos;

  explicit TokenWalk(std::uint32_t budget) noexcept : left_(budget), budget_zero_(budget == 0) {}

  // The stop position within `piece` (0 for a budget of 0, whatever the
  // piece holds), or npos when the whole piece fits and the walk goes on.
  // Once it has stopped, the walk is not fed again.
  std::size_t add(std::string_view piece) noexcept;

 private:
  std::uint64_t left_;  // tokens the budget still allows
  bool previous_word_ = false;
  bool budget_zero_;
};

// The same two over the UTF-8 text that `windows` reads, window by window.
// Both stop early at a window that could not be read (see
// Utf8Windows::failed); the answer is then meaningless.
std::uint32_t count_tokens(text::Utf8Windows& windows);

struct WindowCut {
  bool cut;           // false when the whole text fits the budget
  std::size_t units;  // the kept prefix, in UTF-16 units
  std::size_t bytes;  // where the cut lies in the windows' current window
};
// truncate_cut, read no further than the window that holds the cut.
WindowCut truncate_cut(text::Utf8Windows& windows, std::uint32_t budget);

// Length of the prefix of `text` to keep for a token budget: the walk's stop
// position moved back to a character boundary (text::utf8_boundary_before). The kept prefix's estimate is
// at most `budget`; it equals `budget` whenever the walk cut on a boundary.
std::size_t truncate_cut(std::string_view text, std::uint32_t budget) noexcept;
std::size_t truncate_cut_scalar(std::string_view text, std::uint32_t budget) noexcept;

}  // namespace tov::tokens
