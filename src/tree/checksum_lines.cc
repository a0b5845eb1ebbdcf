#include "tree/checksum_lines.h"

#include <array>

#include "text/utf8.h"

namespace tov::tree {
namespace {

constexpr std::size_t kDigestChars = 64;
// The digest, the space after it and the mark before the path.
constexpr std::size_t kPathStart = kDigestChars + 2;

// Each byte's worth: a hex digit lower-cased, kPlain for any other byte a
// plain path may hold, 0 for NUL and carriage return, kWide for the bytes
// of a multibyte sequence.
constexpr unsigned char kPlain = 1;
constexpr unsigned char kWide = 2;

constexpr std::array<unsigned char, 256> make_classes() {
  std::array<unsigned char, 256> classes{};
  for (int c = 1; c < 0x80; ++c) classes[c] = kPlain;
  for (int c = 0x80; c < 0x100; ++c) classes[c] = kWide;
  classes['\r'] = 0;
  for (int c = '0'; c <= '9'; ++c) classes[c] = static_cast<unsigned char>(c);
  for (int c = 'a'; c <= 'f'; ++c) classes[c] = static_cast<unsigned char>(c);
  for (int c = 'A'; c <= 'F'; ++c) classes[c] = static_cast<unsigned char>(c - 'A' + 'a');
  return classes;
}

constexpr std::array<unsigned char, 256> kClasses = make_classes();

unsigned char class_of(char c) noexcept {
  return kClasses[static_cast<unsigned char>(c)];
}

bool plain_path(std::string_view path) noexcept {
  bool wide = false;
  for (const char c : path) {
    const unsigned char kind = class_of(c);
    if (kind == 0) return false;
    wide |= kind == kWide;
  }
  return !path.empty() && (!wide || !text::first_invalid_utf8(path).has_value());
}

}  // namespace

ChecksumColumns split_checksum_lines(std::string_view block) {
  ChecksumColumns columns;
  // Room for lines with paths of about 40 bytes; longer ones need less.
  columns.digests.reserve(block.size() / (kPathStart + 40) * kDigestChars + kDigestChars);
  columns.names.reserve(block.size());
  std::size_t start = 0;
  while (start <= block.size()) {
    std::size_t end = block.find('\n', start);
    if (end == std::string_view::npos) end = block.size();
    std::string_view line = block.substr(start, end - start);
    // A line from a DOS editor reads as it would without its carriage return.
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() <= kPathStart || line[kDigestChars] != ' ' ||
        (line[kDigestChars + 1] != ' ' && line[kDigestChars + 1] != '*')) {
      break;
    }
    char digest[kDigestChars];
    bool hex = true;
    for (std::size_t i = 0; i < kDigestChars && hex; ++i) {
      const unsigned char digit = class_of(line[i]);
      hex = digit > kWide;
      digest[i] = static_cast<char>(digit);
    }
    const std::string_view path = line.substr(kPathStart);
    if (!hex || !plain_path(path)) break;
    columns.digests.append(digest, kDigestChars);
    if (columns.count > 0) columns.names.push_back('\0');
    columns.names.append(path);
    ++columns.count;
    start = end + 1;
  }
  columns.taken = start;
  return columns;
}

}  // namespace tov::tree
