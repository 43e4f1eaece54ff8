// Public header.
/// @file
/// SendStream: a record of two 32-bit words for the owner's use.
///
/// @struct YNet2::SendStream
/// The library gives the words no meaning and never reads them; copy
/// assignment copies both.
#pragma once

#include "platform/WinApi.h"

namespace YNet2 {

struct YNET_API SendStream {
    DWORD m_Word1 = 0; ///< the owner's
    DWORD m_Word2 = 0; ///< the owner's

    SendStream() = default;
    /// Copy both words.
    ///@{
    SendStream(const SendStream& other) = default;
    SendStream& operator=(const SendStream& other);
    ///@}
};

} // namespace YNet2
