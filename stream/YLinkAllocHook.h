// Internal header. Replaces the allocator behind every YLink chunk, so that
// tests can make a list or the block pool fail to grow.
#pragma once

#include <cstddef>

namespace YNet2 {

// Returns the chunk's memory or null; `nodes` is the chunk's node count.
typedef void* (*YLinkAllocator)(std::size_t bytes, int nodes);

// Installs allocator for every chunk allocated from now on; null restores
// malloc. Chunks are always freed with free, so a replacement must hand out
// malloc memory (or null).
void SetYLinkAllocator(YLinkAllocator allocator);

} // namespace YNet2
