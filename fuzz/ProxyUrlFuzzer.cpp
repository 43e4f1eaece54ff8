// libFuzzer harness for the text forms of targets and proxy URLs
// (YSocketTarget::Parse, ProxyUrl::Parse), checked against an independent
// reading.
//
// Input: a byte that picks the form (even: a target "HOST:PORT", odd: a
// proxy URL), then the text. Checked for every input:
//   - an IPv4 target is one the system's inet_pton takes, and an IPv6
//     target's bytes are those inet_pton gives; a name is no address to
//     inet_pton, holds no space, control byte or colon, and does not end
//     in a number; the port is the decimal number after the last colon;
//   - the other way round: "[X]:P" with X an address inet_pton takes for
//     IPv6 (no zone) and "X:P" with X one it takes for IPv4, P 1-65535 in
//     decimal, are taken, as what they are;
//   - a URL taken has one of the five schemes, credentials that fit (not
//     empty, at most 255 bytes, no NUL, none with SOCKS4, no ':' in an
//     HTTP user name) and an IPv4 or named proxy; written out again with
//     every byte of its credentials %-encoded, it reads back the same;
//   - a refusal leaves the object NONE with its words; nothing crashes,
//     reads out of bounds or leaks.
#include "fuzz/support/LoopbackPeer.h"
#include "fuzz/support/SystemAddress.h"
#include "socket/ProxyUrl.h"
#include "socket/YSocketTarget.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

using namespace YNet2;

namespace {

// The port of "…:P", P 1-65535 in decimal and nothing else; 0 otherwise.
unsigned long PortAfterLastColon(const std::string& text, std::size_t* colon) {
    *colon = text.rfind(':');
    if (*colon == std::string::npos || *colon + 1 == text.size())
        return 0;
    unsigned long port = 0;
    for (std::size_t i = *colon + 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9' || port > 65535)
            return 0;
        port = port * 10 + static_cast<unsigned long>(text[i] - '0');
    }
    return port <= 65535 ? port : 0;
}

void CheckTarget(const std::string& text) {
    const YSocketTarget target = YSocketTarget::Parse(text.data(), text.size());
    char why[600];
    const bool refused = target.Refused(why, sizeof why);
    CHECK(!refused || why[0] != '\0');

    // What the system reads in the text.
    std::size_t colon = 0;
    const unsigned long port = text.find('\0') == std::string::npos ? PortAfterLastColon(text, &colon) : 0;
    const std::string host = port != 0 ? text.substr(0, colon) : std::string();
    unsigned char system[16];
    const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    const std::string literal = bracketed ? host.substr(1, host.size() - 2) : host;
    const bool v6 = bracketed && literal.find('%') == std::string::npos && SystemAddress::IPv6(literal.c_str(), system);
    const bool v4 = !bracketed && port != 0 && SystemAddress::IPv4(host.c_str(), system);
    if (v4 || v6) {
        CHECK(!refused);
        CHECK(target.GetKind() == (v4 ? YSocketTarget::IPV4 : YSocketTarget::IPV6));
    }
    if (refused)
        return;

    CHECK(port != 0 && target.GetPort() == port);
    CHECK(host == target.GetHost());
    unsigned char request[YSocketTarget::kMaxRequest];
    const int length = target.Socks5Request(request);
    switch (target.GetKind()) {
    case YSocketTarget::IPV4:
        CHECK(v4 && length == 10 && std::memcmp(request + 4, system, 4) == 0);
        break;
    case YSocketTarget::IPV6:
        CHECK(v6 && length == 22 && std::memcmp(request + 4, system, 16) == 0);
        break;
    case YSocketTarget::NAME: {
        CHECK(!v4 && !bracketed && !host.empty() && host.size() <= 255);
        unsigned char ignored[16];
        CHECK(!SystemAddress::IPv4(host.c_str(), ignored));
        for (char c : host)
            CHECK(static_cast<unsigned char>(c) > ' ' && c != 0x7F && c != ':');
        // Its last label (before a final dot) is no number.
        std::size_t end = host.back() == '.' ? host.size() - 1 : host.size();
        std::size_t begin = host.rfind('.', end == 0 ? 0 : end - 1);
        begin = begin == std::string::npos || begin >= end ? 0 : begin + 1;
        const std::string label = host.substr(begin, end - begin);
        CHECK(label.empty() || label.find_first_not_of("0123456789") != std::string::npos);
        CHECK(!(label.size() >= 2 && label[0] == '0' && (label[1] == 'x' || label[1] == 'X') &&
                label.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos));
        break;
    }
    case YSocketTarget::NONE:
        CHECK(false);
    }
    // What Authority writes is taken again as the same target.
    char authority[YSocketTarget::kMaxName + 16];
    const int written = target.Authority(authority, sizeof authority);
    CHECK(written > 0);
    const YSocketTarget again = YSocketTarget::Parse(authority, static_cast<std::size_t>(written));
    CHECK(!again.Refused(why, sizeof why) && again.GetKind() == target.GetKind() && again.GetPort() == port);
}

std::string Encoded(const char* text) {
    std::string out;
    char escape[4];
    for (const char* p = text; *p != '\0'; ++p) {
        std::snprintf(escape, sizeof escape, "%%%02X", static_cast<unsigned char>(*p));
        out += escape;
    }
    return out;
}

void CheckUrl(const std::string& text) {
    ProxyUrl url;
    const bool taken = url.Parse(text.data(), text.size());
    if (!taken) {
        CHECK(url.GetScheme() == ProxyUrl::NONE && url.Why()[0] != '\0' && !url.HasCredentials());
        return;
    }
    if (text.empty()) {
        CHECK(url.GetScheme() == ProxyUrl::NONE);
        return;
    }
    const char* const names[] = {"", "socks4", "socks4a", "socks5", "socks5h", "http"};
    const ProxyUrl::Scheme scheme = url.GetScheme();
    CHECK(scheme != ProxyUrl::NONE);
    const std::string prefix = std::string(names[scheme]) + "://";
    CHECK(text.size() > prefix.size());
    for (std::size_t i = 0; i < prefix.size(); ++i)
        CHECK((text[i] | 0x20) == prefix[i] || text[i] == prefix[i]);
    char why[600];
    CHECK(!url.GetProxy().Refused(why, sizeof why) && url.GetProxy().GetKind() != YSocketTarget::IPV6);
    if (url.HasCredentials()) {
        CHECK(scheme != ProxyUrl::SOCKS4 && scheme != ProxyUrl::SOCKS4A);
        CHECK(url.GetUser()[0] != '\0' && std::strlen(url.GetUser()) <= 255 && std::strlen(url.GetPassword()) <= 255);
        CHECK(scheme != ProxyUrl::HTTP || std::strchr(url.GetUser(), ':') == nullptr);
    }
    // Written out again, every credential byte %-encoded: the same URL.
    char authority[YSocketTarget::kMaxName + 16];
    CHECK(url.GetProxy().Authority(authority, sizeof authority) > 0);
    std::string again = prefix;
    if (url.HasCredentials())
        again += Encoded(url.GetUser()) + ":" + Encoded(url.GetPassword()) + "@";
    again += authority;
    ProxyUrl reread;
    CHECK(reread.Parse(again.data(), again.size()));
    CHECK(reread.GetScheme() == scheme && reread.HasCredentials() == url.HasCredentials());
    CHECK(std::strcmp(reread.GetUser(), url.GetUser()) == 0 &&
          std::strcmp(reread.GetPassword(), url.GetPassword()) == 0);
    CHECK(std::strcmp(reread.GetProxy().GetHost(), url.GetProxy().GetHost()) == 0 &&
          reread.GetProxy().GetPort() == url.GetProxy().GetPort());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] % 2 == 0)
        CheckTarget(text);
    else
        CheckUrl(text);
    return 0;
}
