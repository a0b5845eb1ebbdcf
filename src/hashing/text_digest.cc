#include "hashing/digest.h"
#include "text/utf8_windows.h"

namespace tov::hashing {

Digest sha256(text::Utf8Windows& windows) {
  if (!windows.next()) return sha256(nullptr, 0);
  // A text of one window is hashed in one go, which skips the set-up of an
  // incremental digest.
  if (windows.last()) return sha256(windows.bytes());
  Sha256 digest;
  do {
    digest.update(windows.bytes());
  } while (windows.next());
  return digest.finish();
}

}  // namespace tov::hashing
