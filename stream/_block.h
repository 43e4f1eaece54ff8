// Public header.
/// @file
/// _block: one receive block of the shared pool, room for two messages of the
/// 1440-byte maximum.
///
/// @class YNet2::_block
/// One receive block of the shared pool:
///
///       m_Bytes (2880 bytes)
///       +------------------+------------------------------+---------------------+
///       | consumed         | received, not yet consumed   | room                |
///       | (dead bytes)     | whole messages, then at most | the receiving side  |
///       |                  | one message still arriving   | appends here        |
///       +------------------+------------------------------+---------------------+
///       0              m_Offset                        m_Len                 2880
///
/// m_Len is the receiving side's: it appends at m_Len and counts its room as
/// 2880 - m_Len. m_Offset is the consuming side's: the next message starts
/// there. Each side writes only its own field, so a stream can receive into
/// and consume from the same block on two threads (NetStream publishes
/// m_Len with release order and its consumer reads it with acquire order).
/// Messages lie back to back, each starting with its 4-byte head.
///
/// Blocks are created only by the pool, a chunk at a time, and never move:
/// a pointer to a block stays valid until the library is unloaded.
#pragma once

#include "platform/WinApi.h"

namespace YNet2 {

class YNET_API _block {
public:
    /// The bytes of a block: two messages of the largest size.
    static constexpr int Size = 2880;

    /// Empty: m_Len, m_Offset and m_Keep 0, both links null.
    _block();

    BYTE m_Bytes[Size]; ///< messages back to back, from m_Offset to m_Len
    WORD m_Len;         ///< end of the received bytes
    WORD m_Offset;      ///< start of the first message not yet consumed
    LONG m_Keep;        ///< for the block's user; the library never sets it
    _block* m_Prev;     ///< pool chain; null for the chain's head
    _block* m_Next;     ///< pool chain; null for the chain's last record
};

} // namespace YNet2
