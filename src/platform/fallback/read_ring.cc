// No read ring on this system: callers read file by file.
#include "platform/read_ring.h"

namespace tov::platform {

struct ReadRing::Rings {};

ReadRing* ReadRing::for_this_thread() {
  return nullptr;
}

ReadRing::~ReadRing() {
  delete rings_;
}

bool ReadRing::read_batch(std::span<Request>) {
  return false;
}

}  // namespace tov::platform
