// Public header.
/// @file
/// YSocket_Socks5: holder of one socket handle for applications' proxy code.
///
/// @class YNet2::YSocket_Socks5
/// One SOCKET, INVALID_SOCKET when none, owned like YSocket's: destruction
/// closes a held handle. Copy assignment copies the handle as it stands (the
/// caller keeps one owner, as with YSocket). Nothing in the library uses it.
#pragma once

#include "platform/WinApi.h"

namespace YNet2 {

class YNET_API YSocket_Socks5 {
public:
    /// Empty: INVALID_SOCKET.
    YSocket_Socks5();
    /// Copy the handle as it stands.
    ///@{
    YSocket_Socks5(const YSocket_Socks5& other);
    YSocket_Socks5& operator=(const YSocket_Socks5& other);
    ///@}
    /// Closes a held handle.
    ~YSocket_Socks5();

private:
    SOCKET m_Socket;
};

} // namespace YNet2
