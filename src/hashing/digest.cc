#include "hashing/digest.h"

// The one-shot digest uses the plain SHA-256 functions where the library
// still offers them: they run the same processor-specific block code as the
// EVP interface without its per-message provider set-up, which costs more
// than hashing a short message.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstring>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

#if !defined(__SSE2__)
constexpr std::array<char, 512> make_hex_pairs() {
  constexpr char digits[] = "0123456789abcdef";
  std::array<char, 512> table{};
  for (std::size_t byte = 0; byte < 256; ++byte) {
    table[2 * byte] = digits[byte >> 4];
    table[2 * byte + 1] = digits[byte & 0xf];
  }
  return table;
}

constexpr std::array<char, 512> kHexPairs = make_hex_pairs();
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

void to_hex(const Digest& digest, char* out) {
#if defined(__SSE2__)
  // Sixteen bytes at a time: split into nibbles, turn each into '0'..'9' or
  // 'a'..'f' without a table, and interleave high and low nibbles.
  const __m128i low_nibble = _mm_set1_epi8(0x0f);
  const auto to_ascii = [](__m128i nibbles) {
    const __m128i letters = _mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9));
    return _mm_add_epi8(_mm_add_epi8(nibbles, _mm_set1_epi8('0')),
                        _mm_and_si128(letters, _mm_set1_epi8('a' - '0' - 10)));
  };
  for (std::size_t half = 0; half < 2; ++half) {
    const __m128i bytes =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(digest.data() + 16 * half));
    const __m128i high = to_ascii(_mm_and_si128(_mm_srli_epi16(bytes, 4), low_nibble));
    const __m128i low = to_ascii(_mm_and_si128(bytes, low_nibble));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 * half), _mm_unpacklo_epi8(high, low));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 * half + 16),
                     _mm_unpackhi_epi8(high, low));
  }
#else
  // One two-byte copy per digest byte; compilers turn it into a single
  // load and store.
  for (std::size_t i = 0; i < digest.size(); ++i) {
    std::memcpy(out + 2 * i, &kHexPairs[2 * static_cast<std::size_t>(digest[i])], 2);
  }
#endif
}

std::string to_hex(const Digest& digest) {
  std::string out(kHexDigestSize, '\0');
  to_hex(digest, out.data());
  return out;
}

std::string hex_digest(const void* data, std::size_t size) {
  return to_hex(sha256(data, size));
}

Sha256::Sha256() : ctx_(new_context()) {
  begin(ctx_);
}

Sha256::~Sha256() {
  EVP_MD_CTX_free(ctx_);
}

void Sha256::update(const void* data, std::size_t size) {
  feed(ctx_, data, size);
}

Digest Sha256::finish() {
  const Digest digest = end(ctx_);
  begin(ctx_);
  return digest;
}

}  // namespace tov::hashing
