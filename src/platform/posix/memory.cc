#include "platform/memory.h"

#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tov::platform {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

bool wants_huge_pages(std::size_t size) { return size >= kHugePage; }

void* allocate_huge(std::size_t size) noexcept {
  const std::size_t rounded = (size + kHugePage - 1) & ~(kHugePage - 1);
  if (rounded < size) return nullptr;
  void* block = nullptr;
  if (posix_memalign(&block, kHugePage, rounded) != 0) return nullptr;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  madvise(block, rounded, MADV_HUGEPAGE);  // advice only: failure changes nothing
#endif
  return block;
}

}  // namespace

void* allocate_block(std::size_t size) noexcept {
  return wants_huge_pages(size) ? allocate_huge(size) : std::malloc(size == 0 ? 1 : size);
}

void* reallocate_block(void* block, std::size_t used, std::size_t size) noexcept {
  if (block == nullptr) return allocate_block(size);
  if (!wants_huge_pages(size)) return std::realloc(block, size == 0 ? 1 : size);
  void* grown = allocate_huge(size);
  if (grown == nullptr) return nullptr;
  std::memcpy(grown, block, used < size ? used : size);
  std::free(block);
  return grown;
}

void free_block(void* block) noexcept {
  // Both kinds of block come from the C library's heap.
  std::free(block);
}

}  // namespace tov::platform
