#include "platform/memory.h"

#include <cstdlib>

namespace tov::platform {

// The heap already takes large blocks straight from the system as whole
// pages; there is nothing to add here.
void* allocate_block(std::size_t size) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}

void* reallocate_block(void* block, std::size_t, std::size_t size) noexcept {
  return std::realloc(block, size == 0 ? 1 : size);
}

void free_block(void* block) noexcept {
  std::free(block);
}

}  // namespace tov::platform
