// Internal header. The real SOCKS and HTTP proxies that scripts/proxies.sh starts on
// 127.0.0.1, found through the environment it exports (also under Wine,
// which passes the environment on). Run the tests through that script (see
// it for running them by hand); a proxy test without them fails.
#pragma once

#include <string>

#include "socket/YSocketAddr.h"

namespace YNetTest {

struct RealProxies {
    YNet2::YSocketAddr microsocks{};     // SOCKS5, no authentication
    YNet2::YSocketAddr microsocksAuth{}; // SOCKS5, user name and password only
    YNet2::YSocketAddr dante{};          // SOCKS4 and SOCKS5, no authentication
    std::string user;                    // microsocksAuth's credentials
    std::string password;
    YNet2::YSocketAddr tinyproxy{};     // HTTP CONNECT, no authentication
    YNet2::YSocketAddr tinyproxyAuth{}; // HTTP CONNECT, Basic credentials
    std::string httpUser;               // tinyproxyAuth's credentials
    std::string httpPassword;
    std::string missing; // the variables not set; empty when all are
};

// Reads YNET_MICROSOCKS_PORT, YNET_MICROSOCKS_AUTH_PORT, YNET_MICROSOCKS_USER,
// YNET_MICROSOCKS_PASSWORD, YNET_DANTE_PORT and YNET_TINYPROXY_* likewise.
RealProxies FindRealProxies();

} // namespace YNetTest
