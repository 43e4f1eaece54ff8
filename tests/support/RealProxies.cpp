#include "support/RealProxies.h"

#include <cstdlib>

#include "support/Loopback.h"

namespace YNetTest {

namespace {

std::string Variable(const char* name, std::string* missing) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        *missing += std::string(missing->empty() ? "" : " ") + name;
        return std::string();
    }
    return value;
}

YNet2::YSocketAddr ProxyAddress(const char* name, std::string* missing) {
    std::string port = Variable(name, missing);
    YNet2::YSocketAddr address{};
    static_cast<sockaddr_in&>(address) = LoopbackAddress(static_cast<unsigned short>(std::atoi(port.c_str())));
    return address;
}

} // namespace

RealProxies FindRealProxies() {
    RealProxies proxies;
    proxies.microsocks = ProxyAddress("YNET_MICROSOCKS_PORT", &proxies.missing);
    proxies.microsocksAuth = ProxyAddress("YNET_MICROSOCKS_AUTH_PORT", &proxies.missing);
    proxies.dante = ProxyAddress("YNET_DANTE_PORT", &proxies.missing);
    proxies.user = Variable("YNET_MICROSOCKS_USER", &proxies.missing);
    proxies.password = Variable("YNET_MICROSOCKS_PASSWORD", &proxies.missing);
    proxies.tinyproxy = ProxyAddress("YNET_TINYPROXY_PORT", &proxies.missing);
    proxies.tinyproxyAuth = ProxyAddress("YNET_TINYPROXY_AUTH_PORT", &proxies.missing);
    proxies.httpUser = Variable("YNET_TINYPROXY_USER", &proxies.missing);
    proxies.httpPassword = Variable("YNET_TINYPROXY_PASSWORD", &proxies.missing);
    return proxies;
}

} // namespace YNetTest
