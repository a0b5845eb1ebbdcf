// Checksum lines taken apart at once against the same lines read one at a
// time: the columns hold exactly the digests and paths of the lines of the
// common form before the first line that is not.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "text/utf8.h"
#include "tree/checksum_lines.h"

namespace {

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "checksum_lines_fuzz: %s\n", what);
    std::abort();
  }
}

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char lower(char c) {
  return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
}

// One line the slow way: appends its digest and path, or says it is not one.
bool read_line(std::string_view line, std::string& digests, std::string& names) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.size() < 67 || line[64] != ' ' || (line[65] != ' ' && line[65] != '*')) return false;
  std::string digest;
  for (std::size_t i = 0; i < 64; ++i) {
    if (!is_hex(line[i])) return false;
    digest.push_back(lower(line[i]));
  }
  const std::string_view path = line.substr(66);
  for (const char c : path) {
    if (c == '\0' || c == '\r') return false;
  }
  if (tov::text::first_invalid_utf8(path).has_value()) return false;
  if (!names.empty() || !digests.empty()) names.push_back('\0');
  names.append(path);
  digests += digest;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Most inputs are turned into near-misses of the form: a byte chooses how
  // many lines of 64 digits to put in front of the fuzzer's own bytes.
  std::string block;
  if (size > 0) {
    for (std::uint8_t n = 0; n < data[0] % 4; ++n) block += std::string(64, "0aF9"[n]) + "  p\n";
    block.append(reinterpret_cast<const char*>(data) + 1, size - 1);
  }
  std::string digests;
  std::string names;
  std::size_t count = 0;
  std::size_t start = 0;
  while (start <= block.size()) {
    std::size_t end = block.find('\n', start);
    if (end == std::string::npos) end = block.size();
    if (!read_line(std::string_view(block).substr(start, end - start), digests, names)) break;
    ++count;
    start = end + 1;
  }
  const tov::tree::ChecksumColumns columns = tov::tree::split_checksum_lines(block);
  check(columns.count == count, "counts differently");
  check(columns.taken == start, "takes other bytes");
  check(columns.digests == digests, "digests differ");
  check(columns.names == names, "names differ");
  return 0;
}
