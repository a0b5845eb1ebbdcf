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

// Length of the prefix of `text` to keep for a token budget: the walk's stop
// position moved back to a character boundary (text::utf8_boundary_before). The kept prefix's estimate is
// at most `budget`; it equals `budget` whenever the walk cut on a boundary.
std::size_t truncate_cut(std::string_view text, std::uint32_t budget) noexcept;
std::size_t truncate_cut_scalar(std::string_view text, std::uint32_t budget) noexcept;

}  // namespace tov::tokens
