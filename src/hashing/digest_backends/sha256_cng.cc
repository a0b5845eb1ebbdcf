// SHA-256 from Windows' own cryptography (CNG). It uses the processor's SHA
// instructions where they exist, and it spares the Windows build a second
// copy of a crypto library.
//
// Creating a hash object costs more than hashing a short message, so every
// object here is reusable: finishing a digest leaves it ready for the next
// message. The one-shot digest keeps one such object per thread.
#include <windows.h>
// windows.h first: bcrypt.h relies on its types.
#include <bcrypt.h>

#include <climits>
#include <cstdio>
#include <string>

#include "base/texts.h"
#include "hashing/digest.h"
#include "platform/fatal.h"
#include "platform/thread_exit.h"

namespace tov::hashing {

namespace {

[[noreturn]] void die(const char* what, NTSTATUS status) {
  char code[32];
  std::snprintf(code, sizeof(code), " (status 0x%08lx)", static_cast<unsigned long>(status));
  platform::fatal(std::string(base::texts::kDigestFailed) + what + code);
}

bool succeeded(NTSTATUS status) {
  return status >= 0;
}

// Opened once and never closed: digests may still be running on pool
// threads while the process exits.
BCRYPT_ALG_HANDLE algorithm() {
  static const BCRYPT_ALG_HANDLE handle = [] {
    BCRYPT_ALG_HANDLE opened = nullptr;
    const NTSTATUS status = ::BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM,
                                                          nullptr, BCRYPT_HASH_REUSABLE_FLAG);
    if (!succeeded(status)) die("no SHA-256 provider", status);
    return opened;
  }();
  return handle;
}

BCRYPT_HASH_HANDLE new_hash() {
  BCRYPT_HASH_HANDLE hash = nullptr;
  // With no buffer given, the system allocates and frees the object's memory.
  const NTSTATUS status =
      ::BCryptCreateHash(algorithm(), &hash, nullptr, 0, nullptr, 0, BCRYPT_HASH_REUSABLE_FLAG);
  if (!succeeded(status)) die("hash object creation", status);
  return hash;
}

void feed(BCRYPT_HASH_HANDLE hash, const void* data, std::size_t size) {
  // The system takes at most ULONG_MAX bytes per call.
  auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
  while (size != 0) {
    const ULONG piece = size > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(size);
    const NTSTATUS status = ::BCryptHashData(hash, bytes, piece, 0);
    if (!succeeded(status)) die("digest update", status);
    bytes += piece;
    size -= piece;
  }
}

Digest end(BCRYPT_HASH_HANDLE hash) {
  Digest digest;
  const NTSTATUS status =
      ::BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
  if (!succeeded(status)) die("digest finalisation", status);
  return digest;
}

class ThreadHash {
 public:
  ThreadHash() = default;
  ~ThreadHash() {
    if (hash_ != nullptr) ::BCryptDestroyHash(hash_);
  }
  ThreadHash(const ThreadHash&) = delete;
  ThreadHash& operator=(const ThreadHash&) = delete;

  BCRYPT_HASH_HANDLE get() {
    if (hash_ == nullptr) hash_ = new_hash();
    return hash_;
  }

 private:
  BCRYPT_HASH_HANDLE hash_ = nullptr;
};

}  // namespace

Digest sha256(const void* data, std::size_t size) {
  const BCRYPT_HASH_HANDLE hash = platform::per_thread<ThreadHash>().get();
  feed(hash, data, size);
  return end(hash);
}

Sha256::Sha256() : context_(new_hash()) {}

Sha256::~Sha256() {
  ::BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(context_));
}

void Sha256::update(const void* data, std::size_t size) {
  feed(static_cast<BCRYPT_HASH_HANDLE>(context_), data, size);
}

Digest Sha256::finish() {
  return end(static_cast<BCRYPT_HASH_HANDLE>(context_));
}

}  // namespace tov::hashing
