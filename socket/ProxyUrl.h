// Public header. ProxyUrl: a proxy named by a URL, as curl reads one.
/// @file
/// @brief ProxyUrl: a proxy named by a URL, as curl reads one.
///
/// @code{.unparsed}
///   socks4://HOST[:PORT]                   SOCKS4; a target's name is resolved here
///   socks4a://HOST[:PORT]                  SOCKS4a; the proxy resolves the name
///   socks5://[USER[:PASSWORD]@]HOST[:PORT]  SOCKS5; the name is resolved here
///   socks5h://[USER[:PASSWORD]@]HOST[:PORT] SOCKS5; the proxy resolves the name
///   http://[USER[:PASSWORD]@]HOST[:PORT]    HTTP CONNECT (Basic credentials); the
///                                           proxy resolves the name
/// @endcode
///
/// The scheme is read without regard to case; PORT is 1-65535, 1080 when it is
/// left out (as curl has it); one "/" may end the URL. USER and PASSWORD are
/// %-encoded where they hold ':', '@', '/' or any byte that is not plain
/// text; a USER without ":PASSWORD" has the empty password. HOST is a name or
/// a dotted IPv4 address: the connection to a proxy is IPv4.
///
/// Refused, with the words of Why: any other scheme or none (a bare
/// HOST:PORT is not taken for HTTP, as curl would take it), credentials with
/// SOCKS4 (it has no password), an empty user name, a user name or password
/// longer than 255 bytes once decoded, one holding a NUL byte (%00), a bad
/// %-escape, a user name holding ':' over HTTP (Basic cannot carry it), a
/// path, query or fragment, and every HOST or PORT that YSocketTarget refuses.
/// The empty text (or null) is no proxy: a direct connection.
///
/// Plain value; any thread, one at a time per object.
#pragma once

#include <cstddef>

#include "platform/WinApi.h"
#include "socket/YSocketTarget.h"

namespace YNet2 {

/// A proxy named by a URL, as curl reads one: the forms taken and refused
/// are in the description of ProxyUrl.h.
class YNET_API ProxyUrl {
public:
    /// The URL's scheme; NONE: no proxy, a direct connection.
    enum Scheme { NONE = 0, SOCKS4, SOCKS4A, SOCKS5, SOCKS5H, HTTP };

    /// Longest user name or password (what RFC 1929's length bytes carry).
    static constexpr int kMaxCredential = 255;
    /// The port of a URL that names none.
    static constexpr unsigned short kDefaultPort = 1080;

    ProxyUrl(); ///< NONE

    /// Reads text (length bytes, no terminator needed). True when it is
    /// taken; false, with the object NONE and Why() telling, when refused.
    bool Parse(const char* text, std::size_t length);
    /// Zero-terminated text, or null (no proxy).
    bool Parse(const char* text);

    /// USER:PASSWORD given apart from the URL (split at the first ':', each
    /// %-decoded), in place of the URL's own; checked as the URL's are, for
    /// the scheme parsed last. False, with Why() telling, when refused; the
    /// credentials held before stay.
    bool SetCredentials(const char* text, std::size_t length);

    /// The scheme of the last URL taken (NONE after a refusal).
    Scheme GetScheme() const { return m_Scheme; }
    /// "SOCKS4", "SOCKS4a", "SOCKS5", "SOCKS5h", "HTTP", "none": for messages.
    const char* SchemeName() const;
    /// The proxy's host and port (NONE for no proxy).
    const YSocketTarget& GetProxy() const { return m_Proxy; }
    /// Whether the proxy resolves a target's name (socks4a, socks5h, http).
    bool ProxyResolves() const;

    /// Whether the URL (or SetCredentials) gave a user name.
    bool HasCredentials() const { return m_HasCredentials; }
    /// Zero-terminated, decoded; empty without credentials.
    ///@{
    const char* GetUser() const { return m_User; }
    const char* GetPassword() const { return m_Password; }
    ///@}

    /// Why the last Parse or SetCredentials refused its text.
    const char* Why() const { return m_Why; }

private:
    /// Writes m_Why; false.
    bool SetWhy(const char* format, ...) YNET_PRINTF(2, 3);
    /// Makes the object NONE with m_Why written; false.
    bool Refuse(const char* format, ...) YNET_PRINTF(2, 3);
    /// Decodes text into out (kMaxCredential + 1 bytes); false (m_Why) on
    /// a bad escape, a NUL byte or more than kMaxCredential bytes.
    bool Decode(const char* what, const char* text, std::size_t length, char* out);
    /// USER[:PASSWORD] into m_User and m_Password; false (m_Why, nothing taken) when refused.
    bool TakeCredentials(const char* text, std::size_t length);

    Scheme m_Scheme;
    YSocketTarget m_Proxy;
    bool m_HasCredentials;
    char m_User[kMaxCredential + 1];
    char m_Password[kMaxCredential + 1];
    char m_Why[2 * YSocketTarget::kMaxName];
};

} // namespace YNet2
