// Thread counts from the environment: TOKIO_WORKER_THREADS (the background
// runtime, with its exact fatal messages) and RAYON_NUM_THREADS /
// RAYON_RS_NUM_CPUS (the batch pool), against plain reference parsers.
//
// Input: a flag byte (bit 0: TOKIO_WORKER_THREADS set, bit 1:
// RAYON_NUM_THREADS set, bit 2: RAYON_RS_NUM_CPUS set), a byte giving the
// processor count, then the three values separated by NUL bytes (which no
// environment value can hold).
#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/runtime_config.h"

namespace {

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "env_count_fuzz: %s\n", what);
    std::abort();
  }
}

enum class ParseError { kNone, kEmpty, kInvalidDigit, kTooLarge };

struct Parsed {
  ParseError error = ParseError::kNone;
  std::uint64_t value = 0;
};

// One optional '+', then decimal digits that fit in 64 bits. Overflow in the
// digits before a bad character is reported as overflow, since a left to
// right scan meets it first.
Parsed reference_parse(std::string_view text) {
  if (text.empty()) return {ParseError::kEmpty};
  if (text.front() == '+') text.remove_prefix(1);
  std::size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0) return {ParseError::kInvalidDigit};
  Parsed parsed;
  const auto [end, error] = std::from_chars(text.data(), text.data() + digits, parsed.value);
  if (error == std::errc::result_out_of_range) return {ParseError::kTooLarge};
  check(error == std::errc() && end == text.data() + digits, "from_chars on digits failed");
  if (digits != text.size()) return {ParseError::kInvalidDigit};
  return parsed;
}

const char* parse_error_text(ParseError error) {
  switch (error) {
    case ParseError::kEmpty:
      return "cannot parse integer from empty string";
    case ParseError::kInvalidDigit:
      return "invalid digit found in string";
    case ParseError::kTooLarge:
      return "number too large to fit in target type";
    case ParseError::kNone:
      break;
  }
  return "";
}

// Decodes code point by code point; the offset of the first sequence that
// is truncated, overlong, a surrogate or past U+10FFFF.
std::optional<std::size_t> reference_invalid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
      length = 1;
      code = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      code = lead & 0x07;
    } else {
      return i;
    }
    if (text.size() - i < length) return i;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return i;
      code = (code << 6) | (next & 0x3F);
    }
    static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return i;
    i += length;
  }
  return std::nullopt;
}

std::string escaped(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    char hex[8];
    if (b == '"' || b == '\\') {
      out += '\\';
      out += c;
    } else if (b >= 0x20 && b < 0x7F) {
      out += c;
    } else {
      std::snprintf(hex, sizeof(hex), "\\x%02X", b);
      out += hex;
    }
  }
  return out + "\"";
}

// Counts past 512 threads (or past the processor count, when higher) are
// lowered to that.
std::size_t capped(std::size_t value, std::size_t cpus) {
  return std::min(value, std::max<std::size_t>(512, cpus));
}

void check_worker_threads(std::optional<std::string_view> raw, std::size_t cpus) {
  const tov::base::Result<std::size_t> got = tov::runtime::worker_threads_from(raw, cpus);
  const std::string error = got ? std::string() : got.error().description();
  if (!raw) {
    check(got.ok() && *got == (cpus > 0 ? cpus : 1), "unset variable: processor count");
    return;
  }
  const std::string name = "\"TOKIO_WORKER_THREADS\"";
  if (const auto bad = reference_invalid_utf8(*raw)) {
    const std::string expected = name + " must be valid unicode, error: invalid UTF-8 at byte " +
                                 std::to_string(*bad) + " of " + escaped(*raw);
    check(error == expected, "invalid UTF-8: message");
    return;
  }
  const Parsed parsed = reference_parse(*raw);
  if (parsed.error != ParseError::kNone) {
    const std::string expected = name + " must be usize, error: " + parse_error_text(parsed.error) +
                                 ", value: " + std::string(*raw);
    check(error == expected, "not a number: message");
    return;
  }
  if (parsed.value == 0) {
    check(error == name + " cannot be set to 0", "zero: message");
    return;
  }
  check(got.ok() && *got == capped(parsed.value, cpus), "number: count");
}

void check_pool_count(std::optional<std::string_view> rayon, std::optional<std::string_view> rs,
                      std::size_t cpus) {
  const std::size_t got = tov::runtime::pool_threads_from(rayon, rs, cpus);
  const std::size_t at_least_one = cpus > 0 ? cpus : 1;
  std::size_t expected = at_least_one;
  const Parsed first = rayon ? reference_parse(*rayon) : Parsed{ParseError::kEmpty};
  const Parsed second = rs ? reference_parse(*rs) : Parsed{ParseError::kEmpty};
  if (first.error == ParseError::kNone) {
    expected = first.value > 0 ? capped(first.value, cpus) : at_least_one;
  } else if (second.error == ParseError::kNone && second.value > 0) {
    expected = capped(second.value, cpus);
  }
  check(got == expected, "pool worker count");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t flags = data[0];
  const std::size_t cpus = data[1];
  const std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
  std::vector<std::string_view> values;
  std::size_t start = 0;
  while (values.size() < 2) {
    const std::size_t nul = rest.find('\0', start);
    if (nul == std::string_view::npos) break;
    values.push_back(rest.substr(start, nul - start));
    start = nul + 1;
  }
  values.push_back(rest.substr(start));
  values.resize(3);
  auto value = [&](int bit) {
    return (flags >> bit) & 1 ? std::optional<std::string_view>(values[bit]) : std::nullopt;
  };
  check_worker_threads(value(0), cpus);
  check_pool_count(value(1), value(2), cpus);
  return 0;
}
