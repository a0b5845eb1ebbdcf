// SHA-256 from macOS's own CommonCrypto, which uses the processor's SHA
// instructions and spares the macOS build a second copy of a crypto library
// (as CNG does on Windows).
#include <CommonCrypto/CommonDigest.h>

#include <climits>

#include "hashing/digest.h"

namespace tov::hashing {

namespace {

CC_SHA256_CTX* state_of(void* context) {
  return static_cast<CC_SHA256_CTX*>(context);
}

// CommonCrypto takes at most a CC_LONG (32 bits) of bytes per call.
void feed(CC_SHA256_CTX* state, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size != 0) {
    const CC_LONG piece = size > UINT_MAX ? UINT_MAX : static_cast<CC_LONG>(size);
    CC_SHA256_Update(state, bytes, piece);
    bytes += piece;
    size -= piece;
  }
}

}  // namespace

Digest sha256(const void* data, std::size_t size) {
  Digest digest;
  CC_SHA256_CTX state;
  CC_SHA256_Init(&state);
  feed(&state, data, size);
  CC_SHA256_Final(digest.data(), &state);
  return digest;
}

Sha256::Sha256() : context_(new CC_SHA256_CTX) {
  CC_SHA256_Init(state_of(context_));
}

Sha256::~Sha256() {
  delete state_of(context_);
}

void Sha256::update(const void* data, std::size_t size) {
  feed(state_of(context_), data, size);
}

Digest Sha256::finish() {
  Digest digest;
  CC_SHA256_Final(digest.data(), state_of(context_));
  CC_SHA256_Init(state_of(context_));
  return digest;
}

}  // namespace tov::hashing
