// Canonical text and root digest against a stable-sort reference.
#include <cstdio>
#include <cstdlib>

#include "manifest_input.h"

using namespace tov::manifest;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const fuzz::Manifest m = fuzz::read_manifest(in, SIZE_MAX);
  const std::vector<Pair> pairs = m.pairs();

  const std::string expected = fuzz::reference_text(m);
  const std::string text = canonical_text(pairs);
  if (text != expected || canonical_text_size(pairs) != expected.size()) {
    std::fprintf(stderr, "canonical text differs from the reference (%zu entries)\n", pairs.size());
    std::abort();
  }
  if (merkle_root(pairs) != tov::hashing::sha256(expected.data(), expected.size())) {
    std::fprintf(stderr, "root digest differs from the digest of the reference text\n");
    std::abort();
  }
  return 0;
}
