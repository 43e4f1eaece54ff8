// Public header.
/// @file
/// _buff: the process-wide pool of receive blocks.
#pragma once

#include "platform/WinApi.h"
#include "stream/YLink.h"
#include "stream/_block.h"

namespace YNet2 {

/// A record chain of 1024 blocks that grows by 64 whenever it hands out its
/// last free block and never shrinks; everything is freed by the destructor.
/// The library has exactly one, NetStream's pool. A block is either free or
/// taken by exactly one stream.
///
/// Locking: Add takes m_Lock itself; every Remove is made with m_Lock held by
/// the caller. A stream's lock may be held while m_Lock is taken, never the
/// reverse.
class YNET_API _buff : public YLink<_block, 1024, 64> {
public:
    _buff();
    /// Deletes m_Lock, then frees every chunk (blocks still taken included).
    ~_buff();
    _buff(const _buff&) = delete;
    _buff& operator=(const _buff&) = delete;

    /// A block for the caller's sole use with m_Len and m_Offset 0 (m_Keep
    /// as it was), or null when the pool cannot grow.
    _block* Add();

    /// Blocks allocated, and blocks taken; each read under m_Lock.
    ///@{
    DWORD Total();
    DWORD Taken();
    ///@}

    CRITICAL_SECTION m_Lock; ///< guards the chain, as the locking rule above says
};

} // namespace YNet2
