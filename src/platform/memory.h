// Blocks that are filled right after they are allocated (file contents,
// converted argument text). Large ones are aligned and marked for transparent
// huge pages, so filling them costs one page fault per 2 MiB instead of one
// per 4 KiB, which on virtual machines is most of the cost of a large read.
// Every block is released with std::free.
#pragma once

#include <cstddef>

namespace tov::platform {

// nullptr when the memory cannot be had.
void* allocate_block(std::size_t size) noexcept;

// Grows (or shrinks) `block`, keeping its first `used` bytes. nullptr when
// the memory cannot be had; `block` is then left as it was.
void* reallocate_block(void* block, std::size_t used, std::size_t size) noexcept;

}  // namespace tov::platform
