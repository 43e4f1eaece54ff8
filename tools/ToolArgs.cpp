#include "tools/ToolArgs.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace YNet2Tools {

bool ParseNumber(const char* text, DWORD limit, DWORD& value) {
    if (text == nullptr || *text < '0' || *text > '9')
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long parsed = std::strtoul(text, &end, 10);
    // A number too long for unsigned long reads as its largest value, which
    // is a legal DWORD where long is 32-bit: refuse it by errno instead.
    if (*end != '\0' || errno == ERANGE || parsed > limit)
        return false;
    value = static_cast<DWORD>(parsed);
    return true;
}

bool ParseHostPort(const std::string& text, std::string& host, unsigned short& port) {
    size_t colon;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':' || close < 2)
            return false;
        host = text.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = text.rfind(':');
        if (colon == std::string::npos || colon == 0)
            return false;
        host = text.substr(0, colon);
        if (host.find(':') != std::string::npos)
            return false;
    }
    DWORD value = 0;
    if (!ParseNumber(text.c_str() + colon + 1, 65535, value) || value == 0)
        return false;
    port = static_cast<unsigned short>(value);
    return true;
}

bool PercentDecode(const std::string& text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
            return false;
        out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
        i += 2;
    }
    return true;
}

bool ParseCredentials(const std::string& text, ProxyUrl& proxy) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    proxy.credentials = true;
    return PercentDecode(text.substr(0, colon), proxy.user) && PercentDecode(text.substr(colon + 1), proxy.password);
}

bool ParseProxyUrl(const std::string& url, ProxyUrl& proxy) {
    struct Scheme {
        const char* prefix;
        int type;
        bool proxyResolves;
    };
    const Scheme schemes[] = {
        {"socks5://", 2, false}, {"socks5h://", 2, true}, {"socks4://", 1, false}, {"socks4a://", 1, true}};
    std::string rest;
    for (const Scheme& scheme : schemes) {
        if (url.rfind(scheme.prefix, 0) == 0) {
            proxy.type = scheme.type;
            proxy.proxyResolves = scheme.proxyResolves;
            rest = url.substr(std::strlen(scheme.prefix));
        }
    }
    if (proxy.type == 0)
        return false;
    const size_t at = rest.rfind('@');
    if (at != std::string::npos) {
        if (proxy.type != 2 || !ParseCredentials(rest.substr(0, at), proxy))
            return false;
        rest = rest.substr(at + 1);
    }
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    proxy.address = rest;
    return !rest.empty();
}

} // namespace YNet2Tools
