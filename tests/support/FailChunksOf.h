// Internal header. Makes every YLink chunk of one node count fail to
// allocate while a FailChunksOf lives, so that a list or the block pool
// cannot grow. Only one may live at a time; it restores malloc when destroyed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>

#include "stream/YLinkAllocHook.h"

namespace YNetTest {

struct FailChunksOf {
    inline static std::atomic<int> s_Nodes{0};
    explicit FailChunksOf(int nodes) {
        s_Nodes = nodes;
        YNet2::SetYLinkAllocator(&FailChunksOf::Allocate);
    }
    ~FailChunksOf() { YNet2::SetYLinkAllocator(nullptr); }
    FailChunksOf(const FailChunksOf&) = delete;
    FailChunksOf& operator=(const FailChunksOf&) = delete;
    static void* Allocate(std::size_t bytes, int nodes) { return nodes == s_Nodes ? nullptr : std::malloc(bytes); }
};

} // namespace YNetTest
