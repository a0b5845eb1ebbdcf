// Reading a string window by window: the bytes of the windows, joined, and
// the digest, token estimate and cut made over them are those of the whole
// text encoded at once, wherever the window edges fall. The first two input
// bytes choose the window sizes (1 to 64 units, so that edges fall
// everywhere), the next two the budget; the rest are little-endian UTF-16
// units.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "hashing/digest.h"
#include "text/utf8.h"
#include "text/utf8_windows.h"
#include "tokens/tokens.h"

namespace {

using namespace tov;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "utf8_windows_fuzz: %s\n", what);
    std::abort();
  }
}

class Source final : public text::UnitSource {
 public:
  explicit Source(const std::u16string& units) : units_(units) {}
  bool read(std::size_t begin, std::size_t count, char16_t* out) override {
    check(begin + count <= units_.size(), "read past the end");
    units_.copy(out, count, begin);
    out[count] = 0;  // the promised room for a terminator
    return true;
  }

 private:
  const std::u16string& units_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const text::WindowSizes sizes{1u + data[0] % 64, 1u + data[1] % 64};
  const std::uint32_t budget = static_cast<std::uint32_t>(data[2] | (data[3] << 8));
  data += 4;
  size -= 4;
  std::u16string units(size / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  }
  std::string whole(3 * units.size(), '\0');
  whole.resize(text::utf16_to_utf8_scalar(units.data(), units.size(), whole.data()).size);

  {
    Source source(units);
    text::Utf8Windows windows(source, units.size(), sizes);
    std::string joined;
    while (windows.next()) {
      check(windows.unit_at(windows.bytes().size()) == windows.end(), "units and bytes disagree");
      joined += windows.bytes();
    }
    check(joined == whole, "windows differ from the one-shot encoding");
  }
  {
    Source source(units);
    text::Utf8Windows windows(source, units.size(), sizes);
    check(hashing::sha256(windows) == hashing::sha256(whole), "digest differs");
  }
  {
    Source source(units);
    text::Utf8Windows windows(source, units.size(), sizes);
    check(tokens::count_tokens(windows) == tokens::count_tokens_scalar(whole), "count differs");
  }
  const std::uint32_t total = tokens::count_tokens_scalar(whole);
  for (const std::uint32_t b : {budget, budget % (total + 1), total}) {
    if (b == 0) continue;  // the caller answers a budget of 0 without reading
    Source source(units);
    text::Utf8Windows windows(source, units.size(), sizes);
    const tokens::WindowCut cut = tokens::truncate_cut(windows, b);
    const std::size_t expected = tokens::truncate_cut_scalar(whole, b);
    check(cut.cut == (expected != whole.size()), "cut found differently");
    const std::string_view kept = std::string_view(whole).substr(0, expected);
    check(cut.units == text::utf16_length(kept), "cut at another unit");
    if (cut.cut) {
      check(windows.bytes().substr(0, cut.bytes) == kept.substr(kept.size() - cut.bytes),
            "cut at another byte");
    }
  }
  return 0;
}
