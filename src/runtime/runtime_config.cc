#include "runtime/runtime_config.h"

#include <algorithm>
#include <string>

#include "platform/environment.h"
#include "platform/platform.h"
#include "text/utf8.h"

namespace tov::runtime {

namespace texts = base::texts;

namespace {

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

std::size_t capped_thread_count(std::size_t requested, std::size_t cpus) {
  return std::min(requested, std::max(kThreadCountCap, cpus));
}

base::Result<std::size_t> worker_threads_from(std::optional<std::string_view> raw,
                                              std::size_t cpus) {
  if (!raw) return cpus > 0 ? cpus : 1;
  const std::string name = "\"" + std::string(texts::kWorkerThreadsVariable) + "\"";
  if (const auto bad = text::first_invalid_utf8(*raw)) {
    return base::Error::composed(name + std::string(texts::kMustBeUnicode) + std::to_string(*bad) +
                                 std::string(texts::kMustBeUnicodeOf) + quoted_escaped(*raw));
  }
  const base::Result<std::size_t> value = platform::parse_count(*raw);
  if (!value) {
    return base::Error::composed(name + std::string(texts::kMustBeUsize) +
                                 value.error().description() +
                                 std::string(texts::kMustBeUsizeValue) + std::string(*raw));
  }
  if (*value == 0) return base::Error::composed(name + std::string(texts::kCannotBeZero));
  return capped_thread_count(*value, cpus);
}

base::Result<std::size_t> worker_threads_from_env() {
  return worker_threads_from(platform::environment(texts::kWorkerThreadsVariable.c_str()),
                             platform::available_cpus());
}

std::size_t pool_threads_from(std::optional<std::string_view> rayon_num_threads,
                              std::optional<std::string_view> rayon_rs_num_cpus, std::size_t cpus) {
  cpus = std::max<std::size_t>(cpus, 1);
  if (rayon_num_threads) {
    if (const base::Result<std::size_t> count = platform::parse_count(*rayon_num_threads)) {
      return *count > 0 ? capped_thread_count(*count, cpus) : cpus;
    }
  }
  if (rayon_rs_num_cpus) {
    const base::Result<std::size_t> count = platform::parse_count(*rayon_rs_num_cpus);
    if (count && *count > 0) return capped_thread_count(*count, cpus);
  }
  return cpus;
}

std::size_t pool_threads_from_env() {
  return pool_threads_from(platform::environment(texts::kPoolThreadsVariable.c_str()),
                           platform::environment(texts::kPoolCpusVariable.c_str()),
                           platform::available_cpus());
}

}  // namespace tov::runtime
