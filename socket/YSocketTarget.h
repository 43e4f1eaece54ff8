// Public header. YSocketTarget: the server a connection goes to, by IPv4
// address, IPv6 address or host name, and its port.
/// @file
/// @brief YSocketTarget: the server a connection goes to, by IPv4 address, IPv6 address or host name, and its port.
///
/// @code
///   YSocketTarget byName("example.org", 7000);   // a name (up to 255 bytes)
///   YSocketTarget byV6("[2001:db8::7]", 7000);   // an IPv6 literal, brackets optional
///   YSocketTarget byV4("192.0.2.7", 7000);       // a dotted IPv4 literal
///   YSocketTarget fromRecord(addr);               // a YSocketAddr, bytes as they lie
///   YSocketTarget::Parse("example.org:7000", 16); // the text forms, port included
/// @endcode
///
/// A target is only a description: nothing is resolved or checked when it is
/// built. The connection that uses it checks it first (Check) and refuses,
/// with E_FAIL, a log line and nothing sent: an empty name, a name longer
/// than 255 bytes, a name holding a NUL byte (only the constructor with a
/// length can carry one), a space or a control byte, a text with a colon
/// that is no IPv6 literal, and port 0. A host whose last label is a number
/// (decimal, or 0x hex) is an IPv4 address, and only its plain form
/// a.b.c.d (four decimal numbers 0-255, no leading zeros) is taken: 010.0.0.1,
/// 10.1, 0x7f.0.0.1 and 2130706433, which resolvers read in differing ways
/// (octal, hex, fewer parts), are refused. Where the name is resolved is the connection's choice: locally
/// (Resolve: IPv4 addresses, in the resolver's order) or by a SOCKS proxy
/// (the name goes into the request: Socks5Request, Socks4Request).
///
/// Plain value: copies are independent; any thread, one at a time per object.
#pragma once

#include <cstddef>

#include "platform/WinApi.h"
#include "socket/YSocketAddr.h"

namespace YNet2 {

/// What ends a lookup under way from another thread (a client's ending calls); internal.
class LookupAbandon;

/// The server a connection goes to, by IPv4 address, IPv6 address or host
/// name, and its port: the forms taken and refused are in the description
/// of YSocketTarget.h.
class YNET_API YSocketTarget {
public:
    /// The numbers are SOCKS5's address types.
    enum Kind { NONE = 0, IPV4 = 1, NAME = 3, IPV6 = 4 };

    /// Longest name a SOCKS5 request carries (one length byte).
    static constexpr int kMaxName = 255;
    /// Longest CONNECT request built here: SOCKS4a with a 255-byte name.
    static constexpr int kMaxRequest = 8 + 1 + kMaxName + 1;
    /// Most addresses Resolve hands back.
    static constexpr int kMaxAddresses = 16;

    YSocketTarget(); ///< NONE
    /// IPv4: the record's address and port bytes exactly as they lie.
    explicit YSocketTarget(const YSocketAddr& address);
    /// host: zero-terminated text; port in host byte order.
    YSocketTarget(const char* host, unsigned short port);
    /// host: length bytes, which may hold a NUL (refused by Check).
    YSocketTarget(const char* host, std::size_t length, unsigned short port);

    /// What the host is: an IPv4 or IPv6 address or a name; NONE for a target built empty.
    Kind GetKind() const { return m_Kind; }
    /// Host byte order.
    unsigned short GetPort() const;
    /// The host as given (a name, a literal), or the dotted address of a
    /// record; zero-terminated. For log lines and tools.
    const char* GetHost() const { return m_Host; }

    /// The text form "HOST:PORT" (length bytes, no terminator needed): HOST a
    /// name, a dotted IPv4 address or an IPv6 literal in brackets
    /// ([::1]:7000), PORT 1-65535 in decimal. What is wrong with the text is
    /// the target's problem, told by Refused and Check like any other.
    static YSocketTarget Parse(const char* text, std::size_t length);

    /// 0 when the target can be connected to, else E_FAIL and the log line
    /// "\<op\>() \<why\>!" (op names the caller, e.g. "TCPClient::Init").
    LONG Check(const char* op) const;
    /// The same judgement without a log line: true when the target is
    /// refused, with \<why\> written into why (size bytes, zero-terminated).
    bool Refused(char* why, std::size_t size) const;

    /// "host:port" as an HTTP CONNECT request names it: a name or a dotted
    /// address as it is, an IPv6 address in brackets. Into out (size bytes,
    /// zero-terminated); answers its length, 0 when it does not fit.
    int Authority(char* out, std::size_t size) const;

    /// The SOCKS5 CONNECT request for the target (address type 1, 3 or 4),
    /// into out (kMaxRequest bytes); answers its length. A checked target.
    int Socks5Request(unsigned char* out) const;
    /// The SOCKS4 CONNECT request (IPv4), or SOCKS4a's (a name: address
    /// 0.0.0.1, the empty user id, then the name and its NUL), into out
    /// (kMaxRequest bytes); answers its length, 0 for an IPv6 target.
    int Socks4Request(unsigned char* out) const;

    /// The target's IPv4 addresses with its port: an IPv4 target itself, a
    /// name resolved here (getaddrinfo) in the resolver's order, at most max.
    /// boundMs, when not 0, bounds the resolution: the lookup runs on a
    /// thread of its own, which finishes by itself when the bound runs out
    /// first. abandon, when not null, also runs it on a thread of its own,
    /// even without a bound, so that an ending call from another thread ends
    /// the wait at once. At most kMaxOutlivingLookups (8) such threads run
    /// at once, however many callers give up on theirs: a caller that finds
    /// them all running waits its turn, within its bound and until
    /// abandoned; when its bound runs out while all 8 have outlived their
    /// callers, it fails with E_FAIL and a log line saying so ("... 8 name
    /// lookups that outlived their callers still run, none more is
    /// started!"), else as timed out.
    /// 0, or E_FAIL with the log line "\<op\>() \<host\>: host not found
    /// (0x2af9)!" (or the resolver's other answer in words, with its code).
    /// An IPv6 target: E_FAIL ("a direct connection is IPv4").
    LONG Resolve(YSocketAddr* out, int max, int* count, DWORD boundMs, const char* op,
                 LookupAbandon* abandon = nullptr) const;

private:
    enum Problem {
        FINE = 0,
        EMPTY,
        TOO_LONG,
        HAS_NUL,
        BAD_IPV6,
        NO_PORT,
        BAD_BYTE,       ///< a name with a space or a control byte
        AMBIGUOUS_IPV4, ///< numeric, but not a.b.c.d
        NOT_HOST_PORT,  ///< Parse: no port, or not 1-65535
        NEEDS_BRACKETS, ///< Parse: an IPv6 literal without its brackets
        TEXT_NUL,       ///< Parse: a NUL byte in the text
    };
    void Classify(const char* host, std::size_t length, unsigned short port);

    Kind m_Kind;
    Problem m_Problem;
    BYTE m_Address[16]; ///< IPV4: 4 bytes, IPV6: 16, network order
    BYTE m_Port[2];     ///< network order
    BYTE m_NameLength;  ///< NAME: bytes of m_Host sent
    char m_Host[kMaxName + 1];
};

} // namespace YNet2
