// Manifest diff against an ordered-map reference. The first input byte says
// how many entries belong to the first manifest; the rest form the second.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "manifest_input.h"

using namespace tov::manifest;

namespace {

std::vector<std::string> sorted(const std::vector<std::string_view>& keys) {
  std::vector<std::string> out(keys.begin(), keys.end());
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::size_t first_count = in.byte();
  const fuzz::Manifest first = fuzz::read_manifest(in, first_count);
  const fuzz::Manifest second = fuzz::read_manifest(in, SIZE_MAX);
  const std::vector<Pair> a = first.pairs();
  const std::vector<Pair> b = second.pairs();

  const DiffResult r = diff(a, b);
  const fuzz::SortedDiff got{sorted(r.added), sorted(r.modified), sorted(r.deleted)};
  if (!(got == fuzz::reference_diff(first, second))) {
    std::fprintf(stderr, "diff differs from the reference (%zu and %zu entries)\n", a.size(),
                 b.size());
    std::abort();
  }
  return 0;
}
