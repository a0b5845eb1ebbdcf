// SHA-256 from OpenSSL's libcrypto, linked statically with its symbols hidden.
//
// Only the plain SHA-256 functions are used, never the EVP interface: they
// run the same processor-specific block code (SHA-NI, ARMv8 SHA-2), but a
// static link of EVP drags in the whole provider machinery (megabytes), and
// its per-message set-up costs more than hashing a short message.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include "hashing/digest.h"

namespace tov::hashing {

namespace {

SHA256_CTX* state_of(void* context) {
  return static_cast<SHA256_CTX*>(context);
}

}  // namespace

// The plain functions cannot fail on valid arguments: they only return 1.
Digest sha256(const void* data, std::size_t size) {
  Digest digest;
  SHA256_CTX state;
  SHA256_Init(&state);
  if (size != 0) SHA256_Update(&state, data, size);
  SHA256_Final(digest.data(), &state);
  return digest;
}

Sha256::Sha256() : context_(new SHA256_CTX) {
  SHA256_Init(state_of(context_));
}

Sha256::~Sha256() {
  delete state_of(context_);
}

void Sha256::update(const void* data, std::size_t size) {
  if (size != 0) SHA256_Update(state_of(context_), data, size);
}

Digest Sha256::finish() {
  Digest digest;
  SHA256_Final(digest.data(), state_of(context_));
  SHA256_Init(state_of(context_));
  return digest;
}

}  // namespace tov::hashing
