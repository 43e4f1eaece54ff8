#include "client/TCPClient_Socks5.h"

#include <cstdio>
#include <cstring>

#include "client/AttemptBound.h"
#include "client/HttpConnect.h"
#include "framework/Log.h"

namespace YNet2 {

namespace {

constexpr unsigned char kSocks5 = 5;
constexpr unsigned char kCommandConnect = 1;
constexpr unsigned char kMethodNone = 0;
constexpr unsigned char kMethodUserPassword = 2;
constexpr unsigned char kNoAcceptableMethod = 0xFF;
constexpr unsigned char kAuthVersion = 1;
constexpr unsigned char kAddressIPv4 = 1;
constexpr unsigned char kAddressDomain = 3;
constexpr unsigned char kAddressIPv6 = 4;
constexpr unsigned char kSocks4Granted = 90;
constexpr unsigned char kSocks4Rejected = 91;

// Every request and reply of the handshake fits: the longest is the
// user name/password request, 3 + 255 + 255 bytes.
constexpr int kHandshakeBuffer = 1024;

// The receive thread waits for readability in slices of this length, so a
// close that does not end a blocked select on some platform is still seen.
constexpr long kSelectSliceUs = 200000;

// RFC 1928's reply codes in words.
const char* ReplyText(unsigned char code) {
    switch (code) {
    case 1:
        return "general SOCKS server failure";
    case 2:
        return "connection not allowed by ruleset";
    case 3:
        return "network unreachable";
    case 4:
        return "host unreachable";
    case 5:
        return "connection refused";
    case 6:
        return "TTL expired";
    case 7:
        return "command not supported";
    case 8:
        return "address type not supported";
    default:
        return "unknown reply code";
    }
}

// The length of a SOCKS5 CONNECT reply from its first five bytes (version,
// reply, reserved, address type, first address byte); 0 for an unknown
// address type.
int ConnectReplyLength(const unsigned char* head) {
    switch (head[3]) {
    case kAddressIPv4:
        return 4 + 4 + 2;
    case kAddressDomain:
        return 4 + 1 + head[4] + 2;
    case kAddressIPv6:
        return 4 + 16 + 2;
    default:
        return 0;
    }
}

// The 10-byte SOCKS5 CONNECT request for target: address and port exactly
// as they lie in the record, as a direct connect would use them.
void BuildConnectRequest(const YSocketAddr& target, unsigned char* request) {
    request[0] = kSocks5;
    request[1] = kCommandConnect;
    request[2] = 0;
    request[3] = kAddressIPv4;
    std::memcpy(request + 4, &target.sin_addr, 4);
    std::memcpy(request + 8, &target.sin_port, 2);
}

// The RFC 1929 request; returns its length.
int BuildAuthRequest(const char* userName, const char* password, unsigned char* request) {
    size_t userLength = std::strlen(userName);
    size_t passwordLength = std::strlen(password);
    request[0] = kAuthVersion;
    request[1] = static_cast<unsigned char>(userLength);
    std::memcpy(request + 2, userName, userLength);
    request[2 + userLength] = static_cast<unsigned char>(passwordLength);
    std::memcpy(request + 3 + userLength, password, passwordLength);
    return static_cast<int>(3 + userLength + passwordLength);
}

bool TooLong(const char* text) {
    return text != nullptr && std::strlen(text) > static_cast<size_t>(TCPClient_Socks5::kMaxCredential);
}

// Stores text zero-filled into a 256-byte field; null leaves the field as it
// is. text is at most 255 bytes long (Init refuses longer ones).
void StoreCredential(char (&field)[256], const char* text) {
    if (text == nullptr)
        return;
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text, std::strlen(text));
}

// The handshake's socket calls on a handle the caller holds in use.
// SendAll: true when every byte went out. RecvExact: length when all
// arrived, 0 when the proxy closed first, -1 on an error; never a byte more.
bool SendAll(SOCKET handle, const unsigned char* data, int length, int* error) {
    int sent = 0;
    while (sent < length) {
        int n = send(handle, reinterpret_cast<const char*>(data) + sent, length - sent, 0);
        if (n <= 0) {
            *error = n == 0 ? 0 : WSAGetLastError();
            return false;
        }
        sent += n;
    }
    return true;
}

// The end of the handshake's time: bound milliseconds (SetConnectTimeout)
// from its start, or none for 0.
struct HandshakeDeadline {
    DWORD bound;
    DWORD start;
    explicit HandshakeDeadline(DWORD milliseconds) : bound(milliseconds), start(GetTickCount()) {}
    // Waits until handle is readable; false (error WSAETIMEDOUT) when the
    // bound runs out first.
    bool WaitReadable(SOCKET handle, int* error) const {
        if (bound == 0)
            return true;
        DWORD spent = GetTickCount() - start;
        DWORD left = spent < bound ? bound - spent : 0;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(handle, &readable);
        timeval limit{static_cast<long>(left / 1000), static_cast<long>(left % 1000 * 1000)};
        if (select(0, &readable, nullptr, nullptr, &limit) != 0)
            return true; // readable, or an error the receive reports
        *error = WSAETIMEDOUT;
        return false;
    }
};

int RecvExact(SOCKET handle, unsigned char* data, int length, int* error, const HandshakeDeadline& deadline) {
    int got = 0;
    while (got < length) {
        if (!deadline.WaitReadable(handle, error))
            return -1;
        int n = recv(handle, reinterpret_cast<char*>(data) + got, length - got, 0);
        if (n == 0)
            return 0;
        if (n == SOCKET_ERROR) {
            *error = WSAGetLastError();
            return -1;
        }
        got += n;
    }
    return length;
}

// Why a reply could not be read, in words, into why. closedHere: an ending
// call of this client closed the socket (the proxy did nothing).
const char* ReadFailWords(int result, int error, bool closedHere, char (&why)[32]) {
    if (closedHere)
        return "the client closed the connection";
    if (result == 0)
        return "proxy closed the connection";
    std::snprintf(why, sizeof why, "recv 0x%x", error);
    return why;
}

// One log line for a reply that could not be read; E_FAIL.
LONG ReplyReadFail(const char* op, const char* step, int result, int error, bool closedHere) {
    char why[32];
    return YRet(E_FAIL, "TCPClient_Socks5::%s() %s fail! (%s)", op, step,
                ReadFailWords(result, error, closedHere, why));
}

// SOCKS4's reply codes in words.
const char* Socks4ReplyText(unsigned char code) {
    switch (code) {
    case kSocks4Rejected:
        return "request rejected or failed";
    case 92:
        return "request rejected: the proxy cannot reach the client's identd";
    case 93:
        return "request rejected: the client's identd reports another user id";
    default:
        return "unknown reply code";
    }
}

} // namespace

// ---------------------------------------------------------------- life

TCPClient_Socks5::TCPClient_Socks5(MsgWorker* worker)
    : TCPClient(worker), m_ProxyAddr{}, m_TargetAddr{}, m_UserName{}, m_Password{}, m_HandshakeBuff{nullptr, 0, 0},
      m_ReplyLen(0), m_HandshakeState(0), m_SocksType(static_cast<_SOCKS_TYPE>(0)), m_ResolveLocally(false),
      m_ViaProxy(false), m_GaveUserName(false), m_GavePassword(false) {}

TCPClient_Socks5::TCPClient_Socks5(const TCPClient_Socks5& other)
    : TCPClient(other), m_ProxyAddr(other.m_ProxyAddr),
      m_TargetAddr(other.m_TargetAddr), m_HandshakeBuff{nullptr, 0, 0}, m_ReplyLen(other.m_ReplyLen),
      m_HandshakeState(other.m_HandshakeState), m_SocksType(other.m_SocksType), m_ConnectTarget(other.m_ConnectTarget),
      m_ResolveLocally(other.m_ResolveLocally), m_ViaProxy(other.m_ViaProxy), m_GaveUserName(other.m_GaveUserName),
      m_GavePassword(other.m_GavePassword) {
    std::memcpy(m_UserName, other.m_UserName, sizeof m_UserName);
    std::memcpy(m_Password, other.m_Password, sizeof m_Password);
}

TCPClient_Socks5& TCPClient_Socks5::operator=(const TCPClient_Socks5& other) {
    if (this == &other)
        return *this;
    TCPClient::operator=(other);
    m_ProxyAddr = other.m_ProxyAddr;
    m_TargetAddr = other.m_TargetAddr;
    std::memcpy(m_UserName, other.m_UserName, sizeof m_UserName);
    std::memcpy(m_Password, other.m_Password, sizeof m_Password);
    FreeHandshakeBuff(); // the copy's buffer is empty; its own array is not shared
    m_ReplyLen = other.m_ReplyLen;
    m_HandshakeState = other.m_HandshakeState;
    m_SocksType = other.m_SocksType;
    m_ConnectTarget = other.m_ConnectTarget;
    m_ResolveLocally = other.m_ResolveLocally;
    m_ViaProxy = other.m_ViaProxy;
    m_GaveUserName = other.m_GaveUserName;
    m_GavePassword = other.m_GavePassword;
    return *this;
}

TCPClient_Socks5::~TCPClient_Socks5() {
    EndReceiveThread(); // the thread runs this class's Run: end it first
    FreeHandshakeBuff();
}

void TCPClient_Socks5::SizeHandshakeBuff(LONG n) {
    if (m_HandshakeBuff.data == nullptr || m_HandshakeBuff.capacity < n) {
        delete[] m_HandshakeBuff.data;
        m_HandshakeBuff.data = new unsigned char[static_cast<size_t>(n)];
        m_HandshakeBuff.capacity = n;
    }
    m_HandshakeBuff.filled = 0;
}

void TCPClient_Socks5::FreeHandshakeBuff() {
    delete[] m_HandshakeBuff.data;
    m_HandshakeBuff = HandshakeBuff{nullptr, 0, 0};
}

// ---------------------------------------------------------------- Init

LONG TCPClient_Socks5::Init(YSocketAddr& addr, _SOCKS_TYPE type, const YSocketAddr* proxy, const char* userName,
                            const char* password) {
    CallScope call(*this);
    if (!call.Entered())
        return YRet(E_FAIL, "TCPClient_Socks5::Init() the client is being destroyed!");
    m_Target = YSocketTarget();
    const YSocketTarget request(addr);
    if (proxy != nullptr && request.Check("TCPClient_Socks5::Init") != 0)
        return E_FAIL; // port 0, as a target by name is refused
    return InitThroughProxy(addr, request, type, proxy, userName, password);
}

LONG TCPClient_Socks5::Init(const YSocketTarget& target, const ProxyUrl& url) {
    const char* op = "TCPClient_Socks5::Init";
    CallScope call(*this);
    if (!call.Entered())
        return YRet(E_FAIL, "TCPClient_Socks5::Init() the client is being destroyed!");
    if (url.GetScheme() == ProxyUrl::NONE)
        return Init(target, SOCKS5, nullptr, nullptr, nullptr);
    if (url.GetProxy().Check(op) != 0)
        return E_FAIL;
    EndConnection(); // before the lookup, as Init below ends it
    AttemptBound bound(*this);
    YSocketAddr proxy{};
    int count = 0;
    if (ResolveTarget(url.GetProxy(), &proxy, 1, &count, op) != 0)
        return E_FAIL;
    if (!bound.Narrow())
        return YRet(E_FAIL, "TCPClient_Socks5::Init() the bound ran out after the proxy's lookup (0x%x)!",
                    WSAETIMEDOUT);
    const ProxyUrl::Scheme scheme = url.GetScheme();
    const _SOCKS_TYPE type = scheme == ProxyUrl::HTTP                                    ? HTTP
                             : scheme == ProxyUrl::SOCKS4 || scheme == ProxyUrl::SOCKS4A ? SOCKS4
                                                                                         : SOCKS5;
    const char* user = url.HasCredentials() ? url.GetUser() : nullptr;
    const char* password = url.HasCredentials() ? url.GetPassword() : nullptr;
    return Init(target, type, &proxy, user, password, url.ProxyResolves() ? RESOLVE_BY_PROXY : RESOLVE_LOCAL);
}

LONG TCPClient_Socks5::Init(const YSocketTarget& target, _SOCKS_TYPE type, const YSocketAddr* proxy,
                            const char* userName, const char* password, _RESOLVE resolve) {
    const char* op = "TCPClient_Socks5::Init";
    CallScope call(*this);
    if (!call.Entered())
        return YRet(E_FAIL, "TCPClient_Socks5::Init() the client is being destroyed!");
    if (proxy == nullptr) {
        EndConnection();
        m_ViaProxy = false;
        return TCPClient::Init(target);
    }
    if (target.Check(op) != 0)
        return E_FAIL;
    if (target.GetKind() == YSocketTarget::IPV6 && type == SOCKS4)
        return YRet(E_FAIL, "TCPClient_Socks5::Init() IPv6 target %s: SOCKS4 carries IPv4 addresses and names only!",
                    target.GetHost());
    LONG result = E_FAIL;
    if (target.GetKind() == YSocketTarget::NAME && resolve == RESOLVE_LOCAL) {
        // The connection held ends before the lookup: its thread's
        // callbacks (a Disconnect there) then cannot end this Init's lookup.
        EndConnection();
        AttemptBound bound(*this);
        YSocketAddr found[YSocketTarget::kMaxAddresses];
        int count = 0;
        if (ResolveTarget(target, found, YSocketTarget::kMaxAddresses, &count, op) != 0)
            return E_FAIL;
        if (!bound.Narrow())
            return YRet(E_FAIL, "TCPClient_Socks5::Init() the bound ran out after the lookup of %s (0x%x)!",
                        target.GetHost(), WSAETIMEDOUT);
        result = InitEach(found, count, type, proxy, userName, password);
    } else {
        // Sent as it is: a name for the proxy to resolve, or an address.
        // m_TargetAddr: the IPv4 address, else zero (as a name's request
        // of the asynchronous handshake has it).
        YSocketAddr address{};
        int count = 0;
        if (target.GetKind() == YSocketTarget::IPV4 && target.Resolve(&address, 1, &count, 0, op) != 0)
            return E_FAIL;
        result = InitThroughProxy(address, target, type, proxy, userName, password);
    }
    m_Target = result == 0 && target.GetKind() == YSocketTarget::NAME ? target : YSocketTarget();
    m_ResolveLocally = resolve == RESOLVE_LOCAL;
    return result;
}

LONG TCPClient_Socks5::InitEach(const YSocketAddr* addresses, int count, _SOCKS_TYPE type, const YSocketAddr* proxy,
                                const char* userName, const char* password) {
    AttemptBound bound(*this);
    LONG result = E_FAIL;
    for (int i = 0; i < count; ++i) {
        if (i > 0 && !bound.Narrow())
            return YRet(E_FAIL, "TCPClient_Socks5::Init() the bound ran out before address %d of %d (0x%x)!", i + 1,
                        count, WSAETIMEDOUT);
        YSocketAddr address = addresses[i];
        m_TargetRefused = false;
        result = InitThroughProxy(address, YSocketTarget(address), type, proxy, userName, password);
        if (result == 0 || !m_TargetRefused)
            break; // connected, or the proxy itself failed: no other address would fare better
    }
    return result;
}

LONG TCPClient_Socks5::InitThroughProxy(YSocketAddr& addr, const YSocketTarget& request, _SOCKS_TYPE type,
                                        const YSocketAddr* proxy, const char* userName, const char* password) {
    // A connection still held is released first, its receive thread waited
    // for (not possible on that thread itself: see the header).
    EndConnection();

    if (proxy == nullptr) {
        m_ViaProxy = false;
        return TCPClient::Init(addr);
    }
    if (TooLong(userName))
        return YRet(E_FAIL, "TCPClient_Socks5::Init() user name longer than %d bytes!", kMaxCredential);
    if (TooLong(password))
        return YRet(E_FAIL, "TCPClient_Socks5::Init() password longer than %d bytes!", kMaxCredential);
    if (type == SOCKS5 && userName != nullptr && *userName == '\0')
        return YRet(E_FAIL, "TCPClient_Socks5::Init() empty user name (RFC 1929 wants 1 to 255 bytes)!");
    if (type == HTTP && userName != nullptr && std::strchr(userName, ':') != nullptr)
        return YRet(E_FAIL, "TCPClient_Socks5::Init() user name holds ':' (HTTP Basic credentials cannot carry it)!");

    m_SocksType = type;
    FreeHandshakeBuff();
    StoreCredential(m_UserName, userName);
    StoreCredential(m_Password, password);
    m_ProxyAddr = *proxy;
    m_TargetAddr = addr;
    m_ConnectTarget = request;
    m_ViaProxy = true;
    m_GaveUserName = userName != nullptr;
    m_GavePassword = password != nullptr;

    // Kept apart until the handshake is done, as Reconnect's: a sender
    // meanwhile finds no socket (nothing of its reaches the proxy), and a
    // Release from another thread ends a handshake that hangs.
    SOCKET handle = BeginInit();
    LONG result = ConnectThroughProxy(handle, "Init", userName, password);
    int error = WSAGetLastError(); // the connect's, for the caller
    if (handle != INVALID_SOCKET && !EndReconnect(handle, result == 0) && result == 0)
        result = YRet(E_FAIL, "TCPClient_Socks5::Init() connection closed during the handshake!");
    // The commit point, as TCPClient::Init's: an ending call since this
    // call began ends it here.
    if (result == 0 && !CommitLive()) {
        if (Ending()) {
            FailInit();
            return YRet(E_FAIL, "TCPClient_Socks5::Init() the client is being destroyed!");
        }
        result = YRet(E_FAIL, "TCPClient_Socks5::Init() connection closed during the handshake!");
        error = WSAEINTR;
    }
    if (result != 0) {
        FailInit();
        WSASetLastError(error);
        return result;
    }
    m_Worker->PostMsg(1, 0); // connected: before the thread exists
    if (StartReceiveThread() != 0) {
        FailInit();
        return YRet(E_FAIL, "TCPClient_Socks5::Init() Create main thread fail!");
    }
    return 0;
}

LONG TCPClient_Socks5::Reconnect() {
    CallScope call(*this);
    if (!call.Entered())
        return YRet(E_FAIL, "TCPClient_Socks5::Reconnect() the client is being destroyed!");
    if (!m_ViaProxy)
        return TCPClient::Reconnect();
    if (m_ResolveLocally && m_Target.GetKind() == YSocketTarget::NAME)
        return ReconnectByLocalName();
    // Connected and shaken hands before it takes the place of the proxy
    // connection held (which is then closed, as a direct Reconnect closes
    // it); an ending call from another thread wakes the handshake.
    SOCKET handle = BeginReconnect();
    LONG result = ConnectThroughProxy(handle, "Reconnect", m_GaveUserName ? m_UserName : nullptr,
                                      m_GavePassword ? m_Password : nullptr);
    if (handle != INVALID_SOCKET && !EndReconnect(handle, result == 0) && result == 0)
        result = YRet(E_FAIL, "TCPClient_Socks5::Reconnect() connection closed during the handshake!");
    return result;
}

LONG TCPClient_Socks5::ReconnectByLocalName() {
    AttemptBound bound(*this);
    YSocketAddr found[YSocketTarget::kMaxAddresses];
    int count = 0;
    if (ResolveTarget(m_Target, found, YSocketTarget::kMaxAddresses, &count, "TCPClient_Socks5::Reconnect") != 0)
        return E_FAIL;
    const YSocketTarget name = m_Target;
    const YSocketTarget request = m_ConnectTarget;
    const YSocketAddr address = m_TargetAddr;
    m_Target = YSocketTarget(); // Reconnect below goes through the proxy to m_ConnectTarget
    LONG result = E_FAIL;
    for (int i = 0; i < count; ++i) {
        if (!bound.Narrow())
            break;
        m_TargetAddr = found[i];
        m_ConnectTarget = YSocketTarget(found[i]);
        m_TargetRefused = false;
        result = Reconnect();
        if (result == 0 || !m_TargetRefused)
            break; // as InitEach: only the proxy's refusal of the target moves on
    }
    if (result != 0) {
        m_ConnectTarget = request;
        m_TargetAddr = address;
    }
    m_Target = name;
    return result;
}

LONG TCPClient_Socks5::ConnectThroughProxy(SOCKET handle, const char* op, const char* userName, const char* password) {
    AttemptBound bound(*this);                                   // the connect and the handshake together
    if (ConnectWithinBound(handle, m_ProxyAddr) == SOCKET_ERROR) // bounded by SetConnectTimeout
        return YRet(E_FAIL, "TCPClient_Socks5::%s() connect fail!", op);
    if (!bound.Narrow()) {
        WSASetLastError(WSAETIMEDOUT);
        return YRet(E_FAIL, "TCPClient_Socks5::%s() the bound ran out once the proxy was connected (0x%x)!", op,
                    WSAETIMEDOUT);
    }
    m_TargetRefused = false;
    switch (m_SocksType) {
    case SOCKS5:
        return Socks5Handshake(handle, op, userName, password);
    case SOCKS4:
        return Socks4Handshake(handle, op);
    case HTTP:
        return HttpHandshake(handle, op, userName, password);
    default:
        return 0; // no handshake: the proxy address is the server
    }
}

LONG TCPClient_Socks5::Socks5Handshake(SOCKET handle, const char* op, const char* userName, const char* password) {
    const HandshakeDeadline deadline(GetConnectTimeout());
    unsigned char buffer[kHandshakeBuffer];
    int error = 0;

    // Method selection: user name/password (listed twice) when a user name
    // is given, else no authentication.
    int length = 0;
    buffer[length++] = kSocks5;
    if (userName != nullptr) {
        buffer[length++] = 2;
        buffer[length++] = kMethodUserPassword;
        buffer[length++] = kMethodUserPassword;
    } else {
        buffer[length++] = 1;
        buffer[length++] = kMethodNone;
    }
    if (!SendAll(handle, buffer, length, &error))
        return YRet(E_FAIL, "TCPClient_Socks5::%s() socks5 send method request fail! (0x%x)", op, error);
    int got = RecvExact(handle, buffer, 2, &error, deadline);
    if (got != 2)
        return ReplyReadFail(op, "socks5 method reply", got, error, SocketClosedHere(handle));
    if (buffer[0] != kSocks5)
        return YRet(E_FAIL, "TCPClient_Socks5::%s() socks5 method reply fail! (version %d, not a SOCKS5 proxy)", op,
                    buffer[0]);
    unsigned char method = buffer[1];
    if (method == kNoAcceptableMethod)
        return YRet(E_FAIL, "TCPClient_Socks5::%s() socks5 method reply fail! (no acceptable method)", op);
    if (method != kMethodNone && method != kMethodUserPassword)
        return YRet(E_FAIL, "TCPClient_Socks5::%s() socks5 method reply fail! (method %d not offered)", op, method);

    if (method == kMethodUserPassword) {
        if (userName == nullptr || password == nullptr)
            return YRet(E_FAIL, "TCPClient_Socks5::%s() socks5 proxy asks for a user name and password, none given!",
                        op);
        length = BuildAuthRequest(userName, password, buffer);
        if (!SendAll(handle, buffer, length, &error))
            return YRet(E_FAIL, "TCPClient_Socks5::%s() socks5 send user name/password fail! (0x%x)", op, error);
        got = RecvExact(handle, buffer, 2, &error, deadline);
        if (got != 2)
            return ReplyReadFail(op, "socks5 user name/password reply", got, error, SocketClosedHere(handle));
        if (buffer[0] != kAuthVersion)
            return YRet(E_FAIL, "TCPClient_Socks5::%s() socks5 user name/password reply fail! (version %d, not 1)", op,
                        buffer[0]);
        if (buffer[1] != 0)
            return YRet(E_FAIL, "TCPClient_Socks5::%s() socks5 user name/password fail! (refused, status %d)", op,
                        buffer[1]);
    }

    length = m_ConnectTarget.Socks5Request(buffer);
    if (!SendAll(handle, buffer, length, &error))
        return YRet(E_FAIL, "TCPClient_Socks5::%s() socks5 send connect request fail! (0x%x)", op, error);
    // The reply's status first: a refusal is final whatever follows it.
    got = RecvExact(handle, buffer, 2, &error, deadline);
    if (got != 2)
        return ReplyReadFail(op, "socks5 connect reply", got, error, SocketClosedHere(handle));
    if (buffer[0] != kSocks5)
        return YRet(E_FAIL, "TCPClient_Socks5::%s() socks5 connect reply fail! (version %d, not a SOCKS5 reply)", op,
                    buffer[0]);
    if (buffer[1] != 0) {
        m_TargetRefused = true;
        return YRet(E_FAIL, "TCPClient_Socks5::%s() socks5 connect fail! (%s, code %d)", op, ReplyText(buffer[1]),
                    buffer[1]);
    }
    // Then exactly the bound address: the server's first bytes may follow.
    got = RecvExact(handle, buffer + 2, 3, &error, deadline);
    if (got != 3)
        return ReplyReadFail(op, "socks5 connect reply", got, error, SocketClosedHere(handle));
    int replyLength = ConnectReplyLength(buffer);
    if (replyLength == 0)
        return YRet(E_FAIL, "TCPClient_Socks5::%s() socks5 connect reply fail! (unknown address type %d)", op,
                    buffer[3]);
    got = RecvExact(handle, buffer + 5, replyLength - 5, &error, deadline);
    if (got != replyLength - 5)
        return ReplyReadFail(op, "socks5 connect reply", got, error, SocketClosedHere(handle));
    return 0;
}

LONG TCPClient_Socks5::Socks4Handshake(SOCKET handle, const char* op) {
    const HandshakeDeadline deadline(GetConnectTimeout());
    // SOCKS4 to an address, or SOCKS4a to a name; the user id is empty.
    unsigned char buffer[YSocketTarget::kMaxRequest];
    int length = m_ConnectTarget.Socks4Request(buffer);
    int error = 0;
    if (!SendAll(handle, buffer, length, &error))
        return YRet(E_FAIL, "TCPClient_Socks5::%s() socks4 send req1 fail!", op);
    // The status first, then the 6 bytes that end the 8-byte reply. Each
    // failure logs the design's line, then what happened in words.
    int got = RecvExact(handle, buffer, 2, &error, deadline);
    if (got == 2 && buffer[0] == 0 && buffer[1] == kSocks4Granted)
        got = RecvExact(handle, buffer + 2, 6, &error, deadline);
    if (got == 6)
        return 0;
    char words[32];
    if (got == -1) {
        LONG result = YRet(E_FAIL, "TCPClient_Socks5::%s() recv socks4 ans1 fail!", op);
        Debug("TCPClient_Socks5::%s() socks4 ans1: %s", op, ReadFailWords(got, error, SocketClosedHere(handle), words));
        return result;
    }
    LONG result = YRet(E_FAIL, "TCPClient_Socks5::%s() socks4 ans1 fail!", op);
    if (got == 0)
        Debug("TCPClient_Socks5::%s() socks4 ans1: %s", op, ReadFailWords(got, error, SocketClosedHere(handle), words));
    else if (buffer[0] != 0)
        Debug("TCPClient_Socks5::%s() socks4 ans1: reply version %d, not 0 (not a SOCKS4 proxy)", op, buffer[0]);
    else {
        m_TargetRefused = buffer[1] == kSocks4Rejected;
        Debug("TCPClient_Socks5::%s() socks4 ans1: %s (code %d)", op, Socks4ReplyText(buffer[1]), buffer[1]);
    }
    return result;
}

LONG TCPClient_Socks5::HttpHandshake(SOCKET handle, const char* op, const char* userName, const char* password) {
    const HandshakeDeadline deadline(GetConnectTimeout());
    char request[HttpConnect::kMaxRequest];
    int length = HttpConnect::Request(m_ConnectTarget, userName, password, request, sizeof request);
    int error = 0;
    if (length == 0 || !SendAll(handle, reinterpret_cast<unsigned char*>(request), length, &error))
        return YRet(E_FAIL, "TCPClient_Socks5::%s() http send connect request fail! (0x%x)", op, error);
    // The reply is looked at before it is taken, so that not a byte past
    // its blank line leaves the socket.
    HttpConnect reply(userName != nullptr);
    unsigned char seen[512];
    while (reply.GetState() == HttpConnect::MORE) {
        int n = SOCKET_ERROR;
        if (deadline.WaitReadable(handle, &error)) {
            n = recv(handle, reinterpret_cast<char*>(seen), sizeof seen, MSG_PEEK);
            if (n == SOCKET_ERROR)
                error = WSAGetLastError();
        }
        if (n <= 0)
            return ReplyReadFail(op, "http connect reply", n == 0 ? 0 : -1, error, SocketClosedHere(handle));
        int taken = reply.Take(seen, n);
        if (RecvExact(handle, seen, taken, &error, deadline) != taken)
            return ReplyReadFail(op, "http connect reply", -1, error, SocketClosedHere(handle));
    }
    if (reply.GetState() == HttpConnect::MALFORMED)
        return YRet(E_FAIL, "TCPClient_Socks5::%s() http connect reply fail! (%s)", op, reply.Why());
    if (reply.GetState() == HttpConnect::REFUSED) {
        m_TargetRefused = reply.TargetRefused();
        return YRet(E_FAIL, "TCPClient_Socks5::%s() http connect fail! (%s)", op, reply.Why());
    }
    return 0;
}

// ---------------------------------------------------------------- receive thread

LONG TCPClient_Socks5::Run(void* param) {
    return TCPClient::Run(param);
}

int TCPClient_Socks5::ReceiveStep(unsigned char* buffer) {
    // Whole messages read ahead are handed out without a wait.
    if ((IsSocks5Msg() || !HasBufferedMessage()) && !WaitReadable())
        return kPass; // no socket any more: the loop waits for the request to end
    const bool handshake = IsSocks5Msg();
    int n = handshake ? RecvSocks5Msg() : RecvMsg(buffer);
    if (n < 0) {
        // Only a call that was interrupted or would block may succeed when
        // repeated; any other error would repeat for ever.
        int error = WSAGetLastError();
        return error == WSAEINTR || error == WSAEWOULDBLOCK ? kPass : 0;
    }
    if (n > 0 && handshake)
        return kPass; // a step of the handshake: nothing to hand out
    return n;
}

bool TCPClient_Socks5::WaitReadable() {
    for (;;) {
        SOCKET handle = BeginReadUse();
        if (handle == INVALID_SOCKET)
            return false;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(handle, &readable);
        timeval slice{0, kSelectSliceUs};
        BeforeWait();
        int ready = select(0, &readable, nullptr, nullptr, &slice);
        bool ours = EndReadUse(handle);
        // Readable, failed, or closed meanwhile: the receive tells which.
        if (ready != 0 || !ours || ICanExit())
            return true;
    }
}

// ---------------------------------------------------------------- asynchronous handshake

bool TCPClient_Socks5::IsSocks5Msg() {
    return m_HandshakeState >= 1 && m_HandshakeState <= 3;
}

void TCPClient_Socks5::SendConnectRequest() {
    unsigned char request[10];
    BuildConnectRequest(m_TargetAddr, request);
    Send(request, sizeof request);
}

bool TCPClient_Socks5::SendAuthRequest() {
    unsigned char request[kHandshakeBuffer];
    int length = BuildAuthRequest(m_UserName, m_Password, request);
    return Send(request, length) == length;
}

int TCPClient_Socks5::RecvSocks5Msg() {
    if (!IsSocks5Msg())
        return 0;
    if (m_HandshakeBuff.filled == 0) {
        SizeHandshakeBuff(22); // room for the longest fixed reply
        m_ReplyLen = m_HandshakeState == 3 ? 5 : 2;
    }
    SOCKET handle = BeginReadUse();
    if (handle == INVALID_SOCKET)
        return 0;
    int n = recv(handle, reinterpret_cast<char*>(m_HandshakeBuff.data) + m_HandshakeBuff.filled,
                 m_ReplyLen - m_HandshakeBuff.filled, 0);
    int error = n == SOCKET_ERROR ? WSAGetLastError() : 0;
    if (!EndReadUse(handle))
        return 0; // the connection closed the socket during the receive
    if (n == SOCKET_ERROR) {
        WSASetLastError(error);
        return -1;
    }
    if (n == 0)
        return 0;
    m_HandshakeBuff.filled += n;
    const unsigned char* reply = m_HandshakeBuff.data;
    int filled = m_HandshakeBuff.filled;

    // A refusal is acted on as soon as its status byte is in.
    if (filled >= 2) {
        if (m_HandshakeState == 1 &&
            (reply[0] != kSocks5 || (reply[1] != kMethodNone && reply[1] != kMethodUserPassword)))
            return YRet(0, "TCPClient_Socks5::RecvSocks5Msg() socks5 method reply fail! (version %d, method %d)",
                        reply[0], reply[1]);
        if (m_HandshakeState == 2 && (reply[0] != kAuthVersion || reply[1] != 0))
            return YRet(0, "TCPClient_Socks5::RecvSocks5Msg() socks5 user name/password fail! (refused, status %d)",
                        reply[1]);
        if (m_HandshakeState == 3 && reply[0] != kSocks5)
            return YRet(0, "TCPClient_Socks5::RecvSocks5Msg() socks5 connect reply fail! (version %d)", reply[0]);
        if (m_HandshakeState == 3 && reply[1] != 0)
            return YRet(0, "TCPClient_Socks5::RecvSocks5Msg() socks5 connect fail! (%s, code %d)", ReplyText(reply[1]),
                        reply[1]);
    }
    if (filled < m_ReplyLen)
        return n;

    if (m_HandshakeState == 1 && reply[1] == kMethodUserPassword) {
        if (!SendAuthRequest())
            return 0;
        m_HandshakeBuff.filled = 0;
        m_HandshakeState = 2;
        return n;
    }
    if (m_HandshakeState == 1 || m_HandshakeState == 2) {
        SendConnectRequest();
        m_HandshakeBuff.filled = 0;
        m_HandshakeState = 3;
        return n;
    }
    if (m_ReplyLen == 5) {
        m_ReplyLen = ConnectReplyLength(reply);
        if (m_ReplyLen == 0)
            return YRet(0, "TCPClient_Socks5::RecvSocks5Msg() socks5 connect reply fail! (unknown address type %d)",
                        reply[3]);
        if (m_ReplyLen > m_HandshakeBuff.capacity) {
            // A domain name: keep the five bytes in, make room for the rest.
            unsigned char head[5];
            std::memcpy(head, reply, sizeof head);
            SizeHandshakeBuff(m_ReplyLen);
            std::memcpy(m_HandshakeBuff.data, head, sizeof head);
            m_HandshakeBuff.filled = 5;
        }
        return n;
    }
    m_HandshakeState = 0;
    m_HandshakeBuff.filled = 0;
    m_Worker->PostMsg(1, 0); // connected
    return n;
}

} // namespace YNet2
