#include "socket/ProxyUrl.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace YNet2 {

namespace {

struct SchemeText {
    const char* prefix;
    ProxyUrl::Scheme scheme;
};
const SchemeText kSchemes[] = {{"socks4://", ProxyUrl::SOCKS4},
                               {"socks4a://", ProxyUrl::SOCKS4A},
                               {"socks5://", ProxyUrl::SOCKS5},
                               {"socks5h://", ProxyUrl::SOCKS5H},
                               {"http://", ProxyUrl::HTTP}};

// text starts with prefix (lower case), whatever the case of text's letters.
bool StartsWith(const char* text, std::size_t length, const char* prefix) {
    std::size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        char c = i < length ? text[i] : '\0';
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i])
            return false;
    }
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

ProxyUrl::ProxyUrl() : m_Scheme(NONE), m_HasCredentials(false), m_User{}, m_Password{}, m_Why{} {}

bool ProxyUrl::SetWhy(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(m_Why, sizeof m_Why, format, args);
    va_end(args);
    return false;
}

bool ProxyUrl::Refuse(const char* format, ...) {
    char why[sizeof m_Why];
    va_list args;
    va_start(args, format);
    std::vsnprintf(why, sizeof why, format, args);
    va_end(args);
    *this = ProxyUrl();
    std::memcpy(m_Why, why, sizeof m_Why);
    return false;
}

bool ProxyUrl::Parse(const char* text) {
    return Parse(text, text == nullptr ? 0 : std::strlen(text));
}

bool ProxyUrl::Parse(const char* text, std::size_t length) {
    *this = ProxyUrl();
    if (text == nullptr || length == 0)
        return true; // no proxy
    if (std::memchr(text, '\0', length) != nullptr)
        return Refuse("the proxy URL holds a NUL byte");
    Scheme scheme = NONE;
    std::size_t at = 0;
    for (const SchemeText& known : kSchemes) {
        if (StartsWith(text, length, known.prefix)) {
            scheme = known.scheme;
            at = std::strlen(known.prefix);
        }
    }
    if (scheme == NONE)
        return Refuse("the proxy URL does not start with socks4://, socks4a://, socks5://, socks5h:// or http://");
    m_Scheme = scheme;

    // The authority ends at the first '/', '?' or '#'; only a lone '/' may follow.
    std::size_t end = at;
    while (end < length && text[end] != '/' && text[end] != '?' && text[end] != '#')
        ++end;
    if (end < length && !(text[end] == '/' && end + 1 == length))
        return Refuse(
            "the proxy URL has a path, query or fragment: only SCHEME://[USER:PASSWORD@]HOST[:PORT] is taken");

    // Credentials end at the authority's last '@'.
    std::size_t host = end;
    while (host > at && text[host - 1] != '@')
        --host;
    if (host > at) {
        if (scheme == SOCKS4 || scheme == SOCKS4A)
            return Refuse("a SOCKS4 proxy takes no user name or password");
        if (!TakeCredentials(text + at, host - 1 - at))
            return Refuse("%s", m_Why);
    } else {
        host = at;
    }

    // HOST[:PORT], the port 1080 when it is left out.
    std::size_t hostLength = end - host;
    const char* hostText = text + host;
    const char* colon = nullptr;
    for (std::size_t i = hostLength; i > 0 && colon == nullptr; --i) {
        if (hostText[i - 1] == ':')
            colon = hostText + i - 1;
        else if (hostText[i - 1] == ']')
            break;
    }
    YSocketTarget proxy;
    if (colon != nullptr) {
        proxy = YSocketTarget::Parse(hostText, hostLength);
    } else {
        char withPort[YSocketTarget::kMaxName + 8];
        int written =
            std::snprintf(withPort, sizeof withPort, "%.*s:%u", static_cast<int>(hostLength), hostText, kDefaultPort);
        proxy = hostLength > static_cast<std::size_t>(YSocketTarget::kMaxName)
                    ? YSocketTarget(hostText, hostLength, kDefaultPort) // refused: too long
                    : YSocketTarget::Parse(withPort, static_cast<std::size_t>(written));
    }
    char why[sizeof m_Why];
    if (proxy.Refused(why, sizeof why))
        return Refuse("proxy: %s", why);
    if (proxy.GetKind() == YSocketTarget::IPV6)
        return Refuse("proxy: %s: a proxy is reached over IPv4 (a name or a.b.c.d)", proxy.GetHost());
    m_Proxy = proxy;
    return true;
}

bool ProxyUrl::SetCredentials(const char* text, std::size_t length) {
    m_Why[0] = '\0';
    if (m_Scheme == SOCKS4 || m_Scheme == SOCKS4A)
        return SetWhy("a SOCKS4 proxy takes no user name or password");
    if (text == nullptr || std::memchr(text, ':', length) == nullptr)
        return SetWhy("the credentials are not USER:PASSWORD");
    return TakeCredentials(text, length);
}

bool ProxyUrl::TakeCredentials(const char* text, std::size_t length) {
    const char* colon = static_cast<const char*>(std::memchr(text, ':', length));
    std::size_t userLength = colon == nullptr ? length : static_cast<std::size_t>(colon - text);
    char user[kMaxCredential + 1] = "";
    char password[kMaxCredential + 1] = "";
    if (!Decode("user name", text, userLength, user) ||
        (colon != nullptr && !Decode("password", colon + 1, length - userLength - 1, password)))
        return false;
    if (user[0] == '\0')
        return SetWhy("empty user name");
    if (m_Scheme == HTTP && std::strchr(user, ':') != nullptr)
        return SetWhy("the user name holds ':', which HTTP Basic credentials cannot carry");
    std::memcpy(m_User, user, sizeof m_User);
    std::memcpy(m_Password, password, sizeof m_Password);
    m_HasCredentials = true;
    return true;
}

bool ProxyUrl::Decode(const char* what, const char* text, std::size_t length, char* out) {
    std::size_t written = 0;
    for (std::size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c == '%') {
            int high = i + 2 < length ? HexValue(text[i + 1]) : -1;
            int low = high >= 0 ? HexValue(text[i + 2]) : -1;
            if (low < 0)
                return SetWhy("bad %%-escape in the %s", what);
            c = static_cast<char>(high * 16 + low);
            i += 2;
        }
        if (c == '\0')
            return SetWhy("the %s holds a NUL byte (%%00)", what);
        if (written == static_cast<std::size_t>(kMaxCredential))
            return SetWhy("the %s is longer than %d bytes", what, kMaxCredential);
        out[written++] = c;
    }
    out[written] = '\0';
    return true;
}

const char* ProxyUrl::SchemeName() const {
    switch (m_Scheme) {
    case SOCKS4:
        return "SOCKS4";
    case SOCKS4A:
        return "SOCKS4a";
    case SOCKS5:
        return "SOCKS5";
    case SOCKS5H:
        return "SOCKS5h";
    case HTTP:
        return "HTTP";
    case NONE:
        break;
    }
    return "none";
}

bool ProxyUrl::ProxyResolves() const {
    return m_Scheme == SOCKS4A || m_Scheme == SOCKS5H || m_Scheme == HTTP;
}

} // namespace YNet2
