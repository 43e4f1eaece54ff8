// Internal header. Reading the command-line arguments of the tools.
#pragma once

#include <string>

#include "platform/WinApi.h"

namespace YNet2Tools {

// Reads text as a decimal number of at most limit into value. False, and
// value untouched, for a missing argument, a sign, any character that is
// not a digit, or a number above limit.
bool ParseNumber(const char* text, DWORD limit, DWORD& value);

// HOST:PORT, HOST a name, a dotted IPv4 address or a bracketed IPv6
// literal ([::1]:7000), PORT 1-65535. host gets the name or the literal
// without its brackets. False for anything else (an unbracketed IPv6
// literal included: its colons are ambiguous).
bool ParseHostPort(const std::string& text, std::string& host, unsigned short& port);

// A proxy URL with curl's meaning of the scheme: socks5:// and socks4://
// resolve the target's name here, socks5h:// and socks4a:// leave it to the
// proxy. SOCKS5 URLs may carry USER:PASSWORD@ (%-encoded).
struct ProxyUrl {
    int type = 0;               // TCPClient_Socks5::SOCKS4 or SOCKS5; 0 for none
    bool proxyResolves = false; // socks5h, socks4a
    std::string address;        // HOST:PORT of the proxy
    bool credentials = false;
    std::string user;
    std::string password;
};
bool ParseProxyUrl(const std::string& url, ProxyUrl& proxy);
// Decodes %XX escapes, as in a URL's user information. False for a bad escape.
bool PercentDecode(const std::string& text, std::string& out);
// USER:PASSWORD (split at the first colon, each %-decoded) into proxy.
bool ParseCredentials(const std::string& text, ProxyUrl& proxy);

} // namespace YNet2Tools
