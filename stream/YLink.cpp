#include "stream/YLink.h"

#include "stream/YLinkAllocHook.h"

#include <atomic>
#include <cstdlib>

namespace YNet2 {
namespace {

std::atomic<YLinkAllocator> g_Allocator{nullptr};

} // namespace

void SetYLinkAllocator(YLinkAllocator allocator) {
    g_Allocator.store(allocator, std::memory_order_relaxed);
}

void* YLinkChunkAlloc(std::size_t bytes, int nodes) {
    YLinkAllocator allocator = g_Allocator.load(std::memory_order_relaxed);
    return allocator != nullptr ? allocator(bytes, nodes) : std::malloc(bytes);
}

void YLinkChunkFree(void* chunk) {
    std::free(chunk);
}

YLinkChunks::YLinkChunks() : m_Items(nullptr), m_Size(0), m_Capacity(0) {}

YLinkChunks::~YLinkChunks() {
    Empty();
}

bool YLinkChunks::Push(void* chunk) {
    if (m_Size == m_Capacity) {
        int capacity = m_Capacity == 0 ? 8 : m_Capacity * 2;
        void* items = std::realloc(m_Items, sizeof(void*) * static_cast<std::size_t>(capacity));
        if (items == nullptr)
            return false;
        m_Items = static_cast<void**>(items);
        m_Capacity = capacity;
    }
    m_Items[m_Size++] = chunk;
    return true;
}

void* YLinkChunks::Allocate(std::size_t nodeSize, int n) {
    void* memory = n > 0 ? YLinkChunkAlloc(nodeSize * static_cast<std::size_t>(n), n) : nullptr;
    if (memory != nullptr && !Push(memory)) {
        YLinkChunkFree(memory);
        memory = nullptr;
    }
    if (memory == nullptr)
        Debug("YLink::alloc(%d) fail!", n);
    return memory;
}

void YLinkChunks::Empty() {
    std::free(m_Items);
    m_Items = nullptr;
    m_Size = m_Capacity = 0;
}

} // namespace YNet2
