// UTF-16 to UTF-8: every implementation the processor can run against the
// one-unit-at-a-time rule, both into a separate buffer and in the shared
// buffer layout the string conversion uses. The input bytes are read as
// little-endian UTF-16 units.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "text/utf8.h"

namespace {

void check(bool ok, const char* what, std::size_t count) {
  if (!ok) {
    std::fprintf(stderr, "utf8_fuzz: %s (%zu units)\n", what, count);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tov::text;
  const std::size_t count = size / 2;
  std::u16string units(count, u'\0');
  for (std::size_t i = 0; i < count; ++i) {
    units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  }
  std::string expected(3 * count, '\0');
  const Utf8Encoded reference = utf16_to_utf8_scalar(units.data(), count, expected.data());
  expected.resize(reference.size);
  check(expected.size() <= 3 * count, "more than three bytes per unit", count);

  for (const Utf16ToUtf8 encoder : utf16_to_utf8_variants()) {
    // Exactly sized, so that AddressSanitizer sees any write past the end.
    std::vector<char> out(3 * count + 1);
    const Utf8Encoded encoded = encoder(units.data(), count, out.data());
    check(std::string(out.data(), encoded.size) == expected, "differs from the scalar rule", count);
    check(encoded.replaced == reference.replaced, "reports replacement differently", count);

    std::vector<char> shared(3 * count + 4);
    const std::size_t at = count + (count & 1);
    std::memcpy(shared.data() + at, units.data(), 2 * count);
    const std::size_t in_place =
        encoder(reinterpret_cast<const char16_t*>(shared.data() + at), count, shared.data()).size;
    check(std::string(shared.data(), in_place) == expected, "differs in the shared buffer", count);
  }
  // What comes out is well-formed UTF-8, with as many UTF-16 units as went
  // in once each unpaired surrogate counts as one U+FFFD.
  check(utf16_length(expected) == count, "unit count does not survive the round trip", count);
  // Replacement is reported exactly when some surrogate has no partner.
  bool lone = false;
  for (std::size_t i = 0; i < count; ++i) {
    const char16_t unit = units[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      lone = true;
    }
  }
  check(reference.replaced == lone, "replacement reported wrongly", count);
  return 0;
}
