#include "runtime/runtime_config.h"

#include <cstdint>
#include <cstdlib>
#include <limits>

#include "platform/environment.h"
#include "platform/platform.h"

namespace tov::runtime {

namespace {

// Length of the well-formed UTF-8 sequence starting at text[i], or 0 when the
// bytes there are not one (overlong forms, surrogates and values past
// U+10FFFF included).
std::size_t utf8_sequence_length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

// Offset of the first byte that is not part of well-formed UTF-8, if any.
std::optional<std::size_t> first_invalid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t length = utf8_sequence_length(text, i);
    if (length == 0) return i;
    i += length;
  }
  return std::nullopt;
}

// The value in double quotes with everything outside printable ASCII
// escaped, so that the message stays one readable line on a terminal.
std::string quoted_escaped(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "\"";
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b == '"' || b == '\\') {
      out += '\\';
      out += c;
    } else if (b >= 0x20 && b < 0x7F) {
      out += c;
    } else {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    }
  }
  out += '"';
  return out;
}

}  // namespace

WorkerThreads worker_threads_from(std::optional<std::string_view> raw, std::size_t cpus) {
  WorkerThreads out;
  if (!raw) {
    out.count = cpus > 0 ? cpus : 1;
    return out;
  }
  const std::string name = std::string("\"") + kWorkerThreadsVariable + "\"";
  if (const auto bad = first_invalid_utf8(*raw)) {
    out.error = name + " must be valid unicode, error: invalid UTF-8 at byte " +
                std::to_string(*bad) + " of " + quoted_escaped(*raw);
    return out;
  }
  std::size_t value = 0;
  if (const char* parse_error = platform::parse_count(*raw, value)) {
    out.error = name + " must be usize, error: " + parse_error + ", value: " + std::string(*raw);
    return out;
  }
  if (value == 0) {
    out.error = name + " cannot be set to 0";
    return out;
  }
  out.count = value;
  return out;
}

WorkerThreads worker_threads_from_env() {
  return worker_threads_from(platform::environment(kWorkerThreadsVariable),
                             platform::available_cpus());
}

}  // namespace tov::runtime
