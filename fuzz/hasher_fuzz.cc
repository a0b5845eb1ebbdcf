// The incremental hasher against the one-shot digest. The input's first
// bytes choose piece sizes; the rest is the message, fed in those pieces,
// saved and restored at one of the cuts, and forked there. The input as a
// whole is also offered as a saved state, which must be refused or restored
// without reading past it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "hasher/saved_state.h"
#include "hasher/sha256.h"
#include "hashing/digest.h"

using namespace tov;

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "hasher fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);

  base::Result<hasher::Sha256> offered = hasher::restore(input);
  if (offered) {
    if (hasher::save(*offered) != std::vector<std::uint8_t>(input.begin(), input.end())) {
      fail("a restored state does not save back to the same bytes");
    }
    offered->update(data, size);
    (void)offered->finish();
  }

  if (size < 4) return 0;
  const std::size_t cut_count = 1 + data[0] % 8;
  const std::size_t header = std::min(size, 1 + 2 * cut_count);
  const std::span<const std::uint8_t> message = input.subspan(header);
  const hashing::Digest expected = hashing::sha256(message.data(), message.size());

  hasher::Sha256 state;
  std::size_t at = 0;
  std::size_t save_at = (data[1] * 131) % (message.size() + 1);
  bool saved = false;
  for (std::size_t i = 0; at < message.size(); ++i) {
    std::size_t piece = message.size() - at;
    if (1 + 2 * i + 1 < header) {
      piece = std::min(piece, std::size_t{data[1 + 2 * i]} << (data[2 + 2 * i] % 8));
    }
    if (!saved && at + piece > save_at) piece = save_at - at;
    state.update(message.data() + at, piece);
    at += piece;
    if (!saved && at == save_at) {
      saved = true;
      base::Result<hasher::Sha256> restored = hasher::restore(hasher::save(state));
      if (!restored) fail("a saved state was refused");
      restored->update(message.data() + at, message.size() - at);
      if (restored->finish() != expected) fail("a restored state gave another digest");
    }
  }
  if (state.count() != message.size()) fail("the count is off");
  if (state.finish() != expected) fail("the piecewise digest differs from the one-shot digest");
  return 0;
}
