// Public header. TCPClient_Socks5: a TCPClient that reaches its server through a SOCKS proxy
// (or an HTTP proxy's CONNECT).
/// @file
/// @brief TCPClient_Socks5: a TCPClient that reaches its server through a SOCKS proxy (or an HTTP proxy's CONNECT).
///
/// Init opens the TCP connection to the proxy, runs a SOCKS5 handshake
/// (RFC 1928, CONNECT to an IPv4 address, a host name or an IPv6 address;
/// user name and password per RFC 1929), a SOCKS4 CONNECT (SOCKS4a for a
/// host name) or an HTTP CONNECT (RFC 9110; Basic credentials, see
/// HttpConnect.h) on the caller's thread, and only then starts
/// the receive thread. From then on the connection carries framed messages
/// exactly as a direct TCPClient does. With no proxy address Init is
/// TCPClient::Init.
///
/// @code
///   TCPClient_Socks5 client(&worker);
///   client.Init(server, TCPClient_Socks5::SOCKS5, &proxy, "alice", "s3cret");
///   client.SendMsg(0, msg, length);
///   client.Wait_Release();
/// @endcode
///
/// The handshake reads exactly each reply (a SOCKS5 CONNECT reply is 10 bytes
/// for an IPv4 bound address, 7 + its length for a domain name, 22 for IPv6;
/// a SOCKS4 reply 8; an HTTP reply up to the blank line after its headers),
/// over as many receives as it takes, and never a byte beyond it: the
/// server's first bytes, which proxies send right behind the reply, stay on
/// the socket for the message stream. A failure status is acted on as soon
/// as its byte has arrived. Every failure ends Init with E_FAIL and one log
/// line "TCPClient_Socks5::Init() ..." naming the step and, where the proxy
/// answered, its answer in words; a SOCKS4 failure logs its two lines, the
/// design's "... socks4 ans1 fail!" (or "... recv socks4 ans1 fail!") and
/// then "... socks4 ans1: \<what happened\>".
///
/// Choices this class makes:
///   - A user name or password longer than 255 bytes (what RFC 1929's length
///     bytes can carry) ends Init with E_FAIL before anything is stored or
///     sent; nothing is ever cut short. The stored strings are therefore
///     always zero-terminated. So does an empty SOCKS5 user name (RFC 1929
///     wants 1 to 255 bytes), a user name holding ':' for an HTTP proxy
///     (Basic credentials cannot carry it), and a target that
///     YSocketTarget::Check refuses (port 0 included). SOCKS4 sends no user
///     id: a user name given with it is not used.
///   - Init to a name resolved here tries its addresses in turn only while
///     the proxy refuses the target (a SOCKS5 reply code, SOCKS4's 91, an
///     HTTP status other than 2xx, 407 and 401): a failure of the proxy itself
///     (unreachable, silent, closing, refusing the credentials, no
///     acceptable method) ends the attempt at once, and the bound of
///     SetConnectTimeout covers the whole of it, the lookup included.
///   - A proxy that selects user name/password although this Init was given
///     no user name or no password: E_FAIL, nothing more is sent. Method 255
///     (no acceptable method) or a method not offered: E_FAIL. A proxy that
///     selects "no authentication" is accepted whatever was offered.
///   - Init on an object that still holds a connection (or a running receive
///     thread) releases it first and waits for the thread, as Wait_Release
///     does; on its own receive thread it cannot wait, and the thread
///     creation then fails.
///   - Reconnect after an Init through a proxy connects to the proxy again
///     and repeats the handshake (it hides TCPClient::Reconnect, which is not
///     virtual: call it through this class). Like TCPClient::Reconnect it
///     changes no state bit, starts no thread and posts nothing.
///   - A copy gets an empty handshake buffer; each object frees its own.
///   - The bound of TCPClient::SetConnectTimeout (off by default) holds the
///     connect to the proxy and the handshake's waits for replies
///     together: a proxy that never answers ends Init with E_FAIL and the
///     line of the step it hung in, with the error code 0x274c
///     (WSAETIMEDOUT) where the line shows one.
///
/// The asynchronous handshake (RecvSocks5Msg, m_HandshakeState 1 to 3) is for
/// a derived class that sets m_HandshakeState to 1 itself after sending the
/// method request; nothing in this class sets it. Its method-2 step sends a
/// proper RFC 1929 request from m_UserName and m_Password. While it runs,
/// Run hands no result of it to HandleMessage.
///
/// Receive loop: TCPClient's, with this class's step (ReceiveStep): it waits
/// for readability before each receive unless whole messages are already
/// read ahead; a receive error that lasts (anything but an interrupted or
/// would-block call) cuts the connection as a closed peer does. Like
/// TCPClient's, the loop goes on with the new socket after a Reconnect.
///
/// Where this class departs from the letter of the original design, as
/// RFC 1928 wants: the version byte of the method reply must be 5, and a
/// CONNECT reply whose version byte is not 5 (4, say) fails. With a user name
/// the greeting offers only the user name/password method (05 02 02 02), so a
/// proxy without authentication answers "no acceptable method" and Init
/// fails where curl would go on without credentials.
///
/// Threads: as TCPClient. Init and Reconnect run on the owner's thread and
/// block in connect, send and recv; the handshake's calls mark the handle in
/// use (Reconnect's socket is registered as incoming), so a Release,
/// Disconnect or Wait_Release from another thread ends a handshake that
/// hangs. m_HandshakeBuff, m_ReplyLen and m_HandshakeState belong to the
/// receive thread.
#pragma once

#include "client/TCPClient.h"
#include "platform/WinApi.h"
#include "socket/ProxyUrl.h"
#include "socket/YSocketAddr.h"
#include "socket/YSocketTarget.h"

namespace YNet2 {

/// A TCPClient that reaches its server through a SOCKS proxy (or an HTTP
/// proxy's CONNECT). The handshake, its failures and the choices this class
/// makes are in the description of TCPClient_Socks5.h.
class YNET_API TCPClient_Socks5 : public TCPClient {
public:
    /// HTTP: an HTTP proxy's CONNECT (its number is none that the design
    /// gives a meaning; 3, like 0, means no handshake at all).
    enum _SOCKS_TYPE { SOCKS4 = 1, SOCKS5 = 2, HTTP = 16 };
    /// Where a target's host name is resolved: here (as curl's socks5:// and
    /// socks4://), or by the proxy (socks5h://, socks4a://).
    enum _RESOLVE { RESOLVE_LOCAL = 0, RESOLVE_BY_PROXY = 1 };

    /// Longest user name or password that RFC 1929 carries.
    static constexpr int kMaxCredential = 255;

    /// A client that hands what it receives to worker (not owned, never null).
    explicit TCPClient_Socks5(MsgWorker* worker);
    /// As TCPClient's copy operations; the copy gets an empty handshake buffer.
    ///@{
    TCPClient_Socks5(const TCPClient_Socks5& other);
    TCPClient_Socks5& operator=(const TCPClient_Socks5& other);
    ///@}
    ~TCPClient_Socks5() override;

    /// Owner's thread. With proxy null: TCPClient::Init(addr). Otherwise
    /// connects to *proxy, runs the handshake of type (SOCKS5, SOCKS4; any
    /// other value: none) for addr, posts "connected" and starts the receive
    /// thread. userName non-null (even empty) offers user name/password to a
    /// SOCKS5 proxy; null userName or password leaves the stored one as it
    /// was. 0 or E_FAIL (logged).
    LONG Init(YSocketAddr& addr, _SOCKS_TYPE type, const YSocketAddr* proxy, const char* userName,
              const char* password);

    /// Owner's thread, as the Init above, to a target by name, IPv4 or IPv6
    /// literal. With proxy null: TCPClient::Init(target). Through the proxy:
    ///   - a name with RESOLVE_BY_PROXY goes into the request: SOCKS5
    ///     address type 3, or SOCKS4a (address 0.0.0.1, user id, the name);
    ///   - a name with RESOLVE_LOCAL is resolved here (IPv4, within the bound
    ///     of SetConnectTimeout), and its addresses are tried in the
    ///     resolver's order, each through the proxy, until one connects; a
    ///     connection held is ended before the lookup, as TCPClient::Init
    ///     ends it;
    ///   - an IPv4 literal is sent as address type 1 (SOCKS4: as ever), an
    ///     IPv6 literal as SOCKS5 address type 4; the connection to the
    ///     proxy itself stays IPv4.
    /// Refused with E_FAIL and a log line before anything is sent: what
    /// YSocketTarget::Check refuses, and an IPv6 target through SOCKS4.
    /// Reconnect repeats what Init did, the name and where it is resolved
    /// included.
    LONG Init(const YSocketTarget& target, _SOCKS_TYPE type, const YSocketAddr* proxy, const char* userName,
              const char* password, _RESOLVE resolve = RESOLVE_LOCAL);

    /// Owner's thread: Init to target through the proxy that url names -
    /// its scheme gives the type and where a name is resolved, its
    /// credentials the user name and password - or directly when url is
    /// NONE. The proxy's own name is resolved here (its first IPv4 address),
    /// within the bound of SetConnectTimeout, which covers the whole Init.
    LONG Init(const YSocketTarget& target, const ProxyUrl& url);

    /// After an Init through a proxy: a new socket connected through the
    /// proxy to the same server, handshake included; otherwise
    /// TCPClient::Reconnect. 0 or E_FAIL (logged).
    LONG Reconnect();

    /// Slot [1]: the receive thread, TCPClient's loop with ReceiveStep below;
    /// param is not used; returns 0.
    LONG Run(void* param) override;

    /// One step of the asynchronous SOCKS5 handshake: 0 when the proxy closed
    /// or there is nothing to do (state 0), -1 on a receive error, otherwise
    /// the count of bytes received (a reply that is refused closes the socket).
    int RecvSocks5Msg();

    /// m_HandshakeState is 1, 2 or 3.
    bool IsSocks5Msg();

protected:
    /// Slot [8]: waits for readability, then one step of the asynchronous
    /// handshake (kPass) or RecvMsg; a passing error (interrupted, would
    /// block) is kPass, a lasting one 0.
    int ReceiveStep(unsigned char* buffer) override;

    /// Init through proxy to each of addresses in turn, as Init by a name
    /// resolved here does: on to the next address only when the proxy
    /// refused the target, within one bound for them all.
    LONG InitEach(const YSocketAddr* addresses, int count, _SOCKS_TYPE type, const YSocketAddr* proxy,
                  const char* userName, const char* password);

    /// The asynchronous handshake's receive buffer; the object owns the array.
    struct HandshakeBuff {
        unsigned char* data; ///< array new / delete
        /// Bytes data holds.
        LONG capacity;
        LONG filled; ///< bytes of the current reply received so far
    };

    YSocketAddr m_ProxyAddr;  ///< written by Init with a proxy
    YSocketAddr m_TargetAddr; ///< the server behind the proxy, written by Init with a proxy
    char m_UserName[256];     ///< zero-terminated
    char m_Password[256];     ///< zero-terminated
    /// The asynchronous handshake's replies.
    HandshakeBuff m_HandshakeBuff;
    LONG m_ReplyLen;       ///< bytes the current asynchronous CONNECT reply needs
    LONG m_HandshakeState; ///< 0 none, 1 method reply, 2 user name/password reply, 3 CONNECT reply
    /// The handshake of the last Init.
    _SOCKS_TYPE m_SocksType;

private:
    /// Sizing: the array holds at least n bytes (contents not kept); fill count 0.
    void SizeHandshakeBuff(LONG n);
    void FreeHandshakeBuff();

    /// Connects handle to m_ProxyAddr and runs the handshake of m_SocksType
    /// for m_TargetAddr. op names the operation in log lines.
    LONG ConnectThroughProxy(SOCKET handle, const char* op, const char* userName, const char* password);
    LONG Socks5Handshake(SOCKET handle, const char* op, const char* userName, const char* password);
    LONG Socks4Handshake(SOCKET handle, const char* op);
    LONG HttpHandshake(SOCKET handle, const char* op, const char* userName, const char* password);
    /// The asynchronous path's requests, sent through TCPClient::Send.
    void SendConnectRequest();
    bool SendAuthRequest();
    /// The receive thread's wait for readability; false when there is no socket.
    bool WaitReadable();

    /// Init through a proxy, with request the address or name that the
    /// CONNECT request carries (m_ConnectTarget).
    LONG InitThroughProxy(YSocketAddr& addr, const YSocketTarget& request, _SOCKS_TYPE type, const YSocketAddr* proxy,
                          const char* userName, const char* password);
    /// Reconnect through the proxy after an Init by a name resolved here:
    /// resolves it again and tries its addresses in turn.
    LONG ReconnectByLocalName();

    /// What the CONNECT request names: m_TargetAddr's address, a name or an
    /// IPv6 address.
    YSocketTarget m_ConnectTarget;
    /// The last Init by name through the proxy resolved it here (Reconnect
    /// resolves it again) rather than in the proxy.
    bool m_ResolveLocally;
    /// What the last Init was given, for Reconnect: a proxy (Reconnect goes
    /// through it too), a user name, a password.
    bool m_ViaProxy;
    bool m_GaveUserName;
    bool m_GavePassword;
    /// The last handshake failed because the proxy refused the target (not
    /// because of the proxy itself). The owner's thread.
    bool m_TargetRefused = false;
};

} // namespace YNet2
