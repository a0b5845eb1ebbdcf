// Blocks that are filled right after they are allocated (converted argument
// text, file contents). Large ones are aligned and marked for transparent
// huge pages where the system has them, so filling them costs one page fault
// per 2 MiB instead of one per 4 KiB, which on virtual machines is most of
// the cost of a large fill. A block comes from this allocator and goes back
// to it alone: how it was obtained is the system's business.
#pragma once

#include <cstddef>
#include <memory>

namespace tov::platform {

// nullptr when the memory cannot be had.
void* allocate_block(std::size_t size) noexcept;

// Grows (or shrinks) `block`, keeping its first `used` bytes. nullptr when
// the memory cannot be had; `block` is then left as it was. A null `block`
// allocates a new one.
void* reallocate_block(void* block, std::size_t used, std::size_t size) noexcept;

// Gives a block of allocate_block or reallocate_block back; null is ignored.
void free_block(void* block) noexcept;

struct BlockFree {
  void operator()(void* block) const noexcept { free_block(block); }
};

// An owned block, released with free_block.
template <class T>
using BlockPtr = std::unique_ptr<T, BlockFree>;

}  // namespace tov::platform
