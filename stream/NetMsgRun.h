// Public header.
/// @file
/// NetMsgRun: a run of whole messages that a NetStream hands out together,
/// under one claim of its consuming side, read one after the other in place.
#pragma once

#include <cstddef>
#include <cstring>

#include "message/YNetMsgHead.h"
#include "platform/WinApi.h"

namespace YNet2 {

/// Filled by NetStream::Process_Run, read with Next, given back with
/// NetStream::BrushRun. The messages lie in the stream's block and stay
/// valid until BrushRun; Next costs no call into the library.
///
///   m_Begin            m_At                               m_End
///   |  handed out by Next |  not yet read (whole messages,  |
///   |  (consumed by       |  perhaps the first bytes of one |
///   |   BrushRun)         |  still arriving)                |
class NetMsgRun {
public:
    NetMsgRun() : m_Begin(nullptr), m_At(nullptr), m_End(nullptr) {}

    /// The run's next whole message (its size(head) bytes at head), or null
    /// once the run is through.
    YNetMsgHead* Next() {
        const std::ptrdiff_t left = m_End - m_At;
        if (left < YNetMsgHead::HeadSize)
            return nullptr;
        WORD word; // the head's size word, little-endian, in one load
        std::memcpy(&word, m_At, sizeof(word));
        const std::ptrdiff_t size = word & 0x7FFF;
        if (size < YNetMsgHead::HeadSize || size > left)
            return nullptr;
        BYTE* head = m_At;
        m_At += size;
        return reinterpret_cast<YNetMsgHead*>(head);
    }

private:
    friend class NetStream;
    BYTE* m_Begin; // the first message of the run
    BYTE* m_At;    // the message Next hands out next
    BYTE* m_End;   // the end of the bytes the run may read
};

} // namespace YNet2
