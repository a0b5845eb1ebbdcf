// SHA-256 from OpenSSL's libcrypto, linked statically with its symbols hidden.
#include "hashing/digest.h"

// The one-shot digest uses the plain SHA-256 functions where the library
// still offers them: they run the same processor-specific block code as the
// EVP interface without its per-message provider set-up, which costs more
// than hashing a short message.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <string>

#include "base/texts.h"
#include "platform/fatal.h"

namespace tov::hashing {

namespace {

[[noreturn]] void die(const char* what) {
  platform::fatal(std::string(base::texts::kDigestFailed) + what);
}

// Looking the method up is far more expensive than hashing a short message,
// so it happens once per process. The method is never released: digests may
// still be running on detached pool threads while the process exits.
const EVP_MD* sha256_method() {
  static const EVP_MD* const method = [] {
    // No exit-time teardown of the library: pool and runtime threads are
    // never joined and may be inside a digest when the process exits.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (fetched == nullptr) fetched = EVP_sha256();
    if (fetched == nullptr) die("no SHA-256 implementation available");
    return fetched;
  }();
  return method;
}

EVP_MD_CTX* new_context() {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr) die("out of memory for a digest context");
  return ctx;
}

void begin(EVP_MD_CTX* ctx) {
  if (EVP_DigestInit_ex2(ctx, sha256_method(), nullptr) != 1) die("digest initialisation");
}

void feed(EVP_MD_CTX* ctx, const void* data, std::size_t size) {
  if (size == 0) return;
  if (EVP_DigestUpdate(ctx, data, size) != 1) die("digest update");
}

Digest end(EVP_MD_CTX* ctx) {
  Digest digest;
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx, digest.data(), &length) != 1 || length != digest.size()) {
    die("digest finalisation");
  }
  return digest;
}

#if defined(OPENSSL_NO_DEPRECATED_3_0)
// One context per thread for the one-shot digest: allocating and releasing a
// context per call would cost more than hashing a short message.
struct ThreadContext {
  EVP_MD_CTX* ctx = nullptr;
  ~ThreadContext() { EVP_MD_CTX_free(ctx); }
};

thread_local ThreadContext thread_context;
#endif

}  // namespace

Digest sha256(const void* data, std::size_t size) {
#if !defined(OPENSSL_NO_DEPRECATED_3_0)
  Digest digest;
  SHA256_CTX state;
  SHA256_Init(&state);
  if (size != 0) SHA256_Update(&state, data, size);
  SHA256_Final(digest.data(), &state);
  return digest;
#else
  EVP_MD_CTX*& ctx = thread_context.ctx;
  if (ctx == nullptr) ctx = new_context();
  begin(ctx);
  feed(ctx, data, size);
  return end(ctx);
#endif
}

Sha256::Sha256() : context_(new_context()) {
  begin(static_cast<EVP_MD_CTX*>(context_));
}

Sha256::~Sha256() {
  EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context_));
}

void Sha256::update(const void* data, std::size_t size) {
  feed(static_cast<EVP_MD_CTX*>(context_), data, size);
}

Digest Sha256::finish() {
  auto* ctx = static_cast<EVP_MD_CTX*>(context_);
  const Digest digest = end(ctx);
  begin(ctx);
  return digest;
}

}  // namespace tov::hashing
