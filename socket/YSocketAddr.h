// Public header.
/// @file
/// YSocketAddr: the 16-byte IPv4 socket address that every connection and
/// address operation passes around.
///
/// @class YNet2::YSocketAddr
/// The system's IPv4 socket address:
///
///       bytes 0-1   sin_family  address family (AF_INET)
///       bytes 2-3   sin_port    port, in the byte order the socket calls expect
///                               (network order; see socket/AddrText.h for the
///                               text functions, which keep it in host order)
///       bytes 4-7   sin_addr    IPv4 address, first dotted number in byte 4
///       bytes 8-15  sin_zero    zero
///
/// It is the system's sockaddr_in and nothing more, so its fields are used
/// by their system names and a pointer to it is handed to the socket calls
/// as a sockaddr* with the length 16 (YSocketAddr::AsSockaddr). Value
/// initialisation (YSocketAddr addr{};) zeroes all 16 bytes.
#pragma once

#include "platform/WinApi.h"

#include <type_traits>

namespace YNet2 {

struct YSocketAddr : public sockaddr_in {
    /// The length the socket calls are given with this record.
    static constexpr int Length = 16;

    /// The record as the socket calls take it.
    ///@{
    sockaddr* AsSockaddr() { return reinterpret_cast<sockaddr*>(static_cast<sockaddr_in*>(this)); }
    const sockaddr* AsSockaddr() const {
        return reinterpret_cast<const sockaddr*>(static_cast<const sockaddr_in*>(this));
    }
    ///@}
};

static_assert(sizeof(YSocketAddr) == 16, "YSocketAddr is passed to the socket calls with the length 16");
static_assert(std::is_standard_layout_v<YSocketAddr> && std::is_trivially_copyable_v<YSocketAddr>,
              "YSocketAddr is laid out exactly as sockaddr_in");

} // namespace YNet2
