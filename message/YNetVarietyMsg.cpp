#include "message/YNetVarietyMsg.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace YNet2 {

YNetVarietyMsg::YNetVarietyMsg() {
    Clear();
}

YNetVarietyMsg::YNetVarietyMsg(void* buffer) {
    Clear();
    m_MsgHead = static_cast<YNetMsgHead*>(buffer);
    m_MsgData = buffer != nullptr ? static_cast<unsigned char*>(buffer) + YNetMsgHead::HeadSize : nullptr;
}

YNetVarietyMsg::YNetVarietyMsg(int bodySize) {
    Clear();
    Alloc(bodySize);
}

YNetVarietyMsg::YNetVarietyMsg(const YNetVarietyMsg& other)
    : m_Alloc(nullptr), m_MsgHead(other.m_MsgHead), m_MsgData(other.m_MsgData), m_BuffSize(other.m_BuffSize),
      m_DataSize(other.m_DataSize), m_AllocSize(0) {}

YNetVarietyMsg::YNetVarietyMsg(YNetVarietyMsg&& other) noexcept
    : m_Alloc(other.m_Alloc), m_MsgHead(other.m_MsgHead), m_MsgData(other.m_MsgData), m_BuffSize(other.m_BuffSize),
      m_DataSize(other.m_DataSize), m_AllocSize(other.m_AllocSize) {
    other.Clear();
}

YNetVarietyMsg& YNetVarietyMsg::operator=(const YNetVarietyMsg& other) {
    if (this == &other)
        return *this;
    if (!Describes(other))
        Release(); // otherwise the source is a view of our own block: we stay its owner
    m_MsgHead = other.m_MsgHead;
    m_MsgData = other.m_MsgData;
    m_BuffSize = other.m_BuffSize;
    m_DataSize = other.m_DataSize;
    return *this;
}

YNetVarietyMsg& YNetVarietyMsg::operator=(YNetVarietyMsg&& other) noexcept {
    if (this == &other)
        return *this;
    if (!Describes(other))
        Release();
    else if (other.m_Alloc == nullptr)
        return *this = static_cast<const YNetVarietyMsg&>(other); // a view of our block: keep owning it
    m_Alloc = other.m_Alloc;
    m_AllocSize = other.m_AllocSize;
    m_MsgHead = other.m_MsgHead;
    m_MsgData = other.m_MsgData;
    m_BuffSize = other.m_BuffSize;
    m_DataSize = other.m_DataSize;
    other.Clear();
    return *this;
}

YNetVarietyMsg::~YNetVarietyMsg() {
    Release();
}

void YNetVarietyMsg::Release() {
    if (m_Alloc == nullptr)
        return;
    std::free(m_Alloc);
    Clear();
}

bool YNetVarietyMsg::Resize(int bodySize) {
    if (bodySize < 0)
        return false;
    if (static_cast<long long>(bodySize) + YNetMsgHead::HeadSize > m_BuffSize) {
        // Allocate before freeing, so that a failure leaves the object as it was.
        unsigned char* const old = m_Alloc;
        const int oldSize = m_AllocSize;
        m_Alloc = nullptr;
        if (!Alloc(bodySize)) {
            m_Alloc = old;
            m_AllocSize = oldSize;
            return false;
        }
        std::free(old);
    }
    m_DataSize = bodySize;
    return true;
}

bool YNetVarietyMsg::SetData(int offset, const void* source, int length) {
    if (m_MsgData == nullptr || offset < 0 || length < 0)
        return false;
    if (m_BuffSize > 0 && static_cast<long long>(offset) + length > m_BuffSize - YNetMsgHead::HeadSize)
        return false;
    if (!FitsBlock(m_MsgData, offset, length))
        return false;
    if (length > 0)
        std::memcpy(m_MsgData + offset, source, static_cast<std::size_t>(length));
    return true;
}

void YNetVarietyMsg::SetHead(WORD size, BYTE mainID, BYTE assistantID, bool request, bool respond, bool ordinal) {
    if (m_MsgHead == nullptr || !FitsBlock(m_MsgHead, 0, YNetMsgHead::HeadSize))
        return;
    m_MsgHead->SetHead(size, mainID, assistantID, request, respond, ordinal);
}

bool YNetVarietyMsg::Alloc(int bodySize) {
    if (bodySize < 0 || bodySize > INT_MAX - YNetMsgHead::HeadSize)
        return false;
    const int blockSize = bodySize + YNetMsgHead::HeadSize;
    auto* block = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(blockSize)));
    if (block == nullptr)
        return false;
    m_Alloc = block;
    m_AllocSize = blockSize;
    m_MsgHead = reinterpret_cast<YNetMsgHead*>(block);
    m_MsgData = bodySize != 0 ? block + YNetMsgHead::HeadSize : nullptr;
    m_BuffSize = blockSize;
    return true;
}

void YNetVarietyMsg::Clear() {
    m_Alloc = nullptr;
    m_AllocSize = 0;
    m_MsgHead = nullptr;
    m_MsgData = nullptr;
    m_BuffSize = 0;
    m_DataSize = 0;
}

// Whether other's message lies inside the block this object owns.
bool YNetVarietyMsg::Describes(const YNetVarietyMsg& other) const {
    if (m_Alloc == nullptr || other.m_MsgHead == nullptr)
        return false;
    const auto start = reinterpret_cast<std::uintptr_t>(m_Alloc);
    const auto at = reinterpret_cast<std::uintptr_t>(other.m_MsgHead);
    return at >= start && at < start + static_cast<std::uintptr_t>(m_AllocSize);
}

bool YNetVarietyMsg::FitsBlock(const void* at, int offset, int length) const {
    if (m_Alloc == nullptr)
        return true;
    const auto start = reinterpret_cast<std::uintptr_t>(m_Alloc);
    const auto base = reinterpret_cast<std::uintptr_t>(at);
    if (base < start || base - start > static_cast<std::uintptr_t>(m_AllocSize))
        return false;
    const long long room = m_AllocSize - static_cast<long long>(base - start);
    return static_cast<long long>(offset) + length <= room;
}

} // namespace YNet2
