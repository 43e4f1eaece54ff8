// The C interface (include/ynet.h): thin forwarders to the library's classes.
//
// Every function checks its arguments before it forwards, and reports a
// failure by its result and the calling thread's error text; nothing here
// throws or aborts. Live handles are kept in one registry, so that a null or
// destroyed handle is refused instead of used.
#include "ynet.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <unordered_set>

#include "client/CClient.h"
#include "framework/Log.h"
#include "message/Scrambler.h"
#include "message/YNetMsgHead.h"
#include "socket/ProxyUrl.h"
#include "socket/SocketStack.h"
#include "socket/YSocketAddr.h"
#include "socket/YSocketTarget.h"

using namespace YNet2;

namespace {

thread_local char t_Error[256] = "";

int32_t Fail(int32_t code, const char* format, ...) YNET_PRINTF(2, 3);
int32_t Fail(int32_t code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(t_Error, sizeof(t_Error), format, args);
    va_end(args);
    return code;
}

// The live clients. Checked by every call with a handle, so that a
// destroyed one is told apart while its address has not been reused.
std::mutex g_ClientsLock;
std::unordered_set<const ynet_client*> g_Clients;

// True on a thread while it hands a line to the application's log sink.
thread_local bool t_InLogSink = false;

// A line may be written while the library holds a lock that a call takes,
// or inside the very call that another would wait for (a client's failing
// connect): from the sink only the functions that take neither run.
bool RefusedInLogSink(const char* op, int32_t& result) {
    if (!t_InLogSink)
        return false;
    result = Fail(YNET_E_STATE,
                  "%s: not allowed from the log sink (a line may be written while the library holds a lock this "
                  "call takes, or inside a call it would wait for)",
                  op);
    return true;
}

// The client a handle names, or null with result set.
CClient* Lookup(ynet_client* handle, const char* op, int32_t& result) {
    if (RefusedInLogSink(op, result))
        return nullptr;
    if (handle == nullptr) {
        result = Fail(YNET_E_HANDLE, "%s: the client handle is null", op);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(g_ClientsLock);
        if (g_Clients.find(handle) == g_Clients.end()) {
            result = Fail(YNET_E_HANDLE, "%s: the client handle is not a live client (destroyed?)", op);
            return nullptr;
        }
    }
    result = YNET_OK;
    return static_cast<CClient*>(handle);
}

// Calls that wait for the receive thread cannot run on it, nor in CONNECTED,
// which it waits for.
CClient* LookupOffReceiveThread(ynet_client* handle, const char* op, int32_t& result) {
    CClient* client = Lookup(handle, op, result);
    if (client != nullptr && client->InOwnCallback()) {
        result =
            Fail(YNET_E_STATE, "%s: not allowed from the client's own callback (it would wait for its own thread)", op);
        return nullptr;
    }
    return client;
}

// "a.b.c.d:port" (YSocketTarget::Parse, an IPv4 address); nothing else.
bool ParseAddress(const char* text, YSocketAddr& address) {
    const YSocketTarget target = YSocketTarget::Parse(text, std::strlen(text));
    char why[2 * YSocketTarget::kMaxName];
    int count = 0;
    return !target.Refused(why, sizeof why) && target.GetKind() == YSocketTarget::IPV4 &&
           target.Resolve(&address, 1, &count, 0, "ynet_client_connect") == 0;
}

bool CheckMessage(const char* op, uint32_t mainID, uint32_t assistantID, uint32_t flags, int32_t& result) {
    if (mainID > YNET_MAX_MAIN_ID)
        result = Fail(YNET_E_ARG, "%s: main ID %u is over %d", op, mainID, YNET_MAX_MAIN_ID);
    else if (assistantID > YNET_MAX_ASSISTANT_ID)
        result = Fail(YNET_E_ARG, "%s: assistant ID %u is over %d", op, assistantID, YNET_MAX_ASSISTANT_ID);
    else if ((flags & ~(YNET_FLAG_REQUEST | YNET_FLAG_RESPOND | YNET_FLAG_ORDINAL)) != 0)
        result = Fail(YNET_E_ARG, "%s: unknown flags 0x%x", op, flags);
    else
        return true;
    return false;
}

bool CheckBody(const char* op, const void* body, int32_t length, int32_t& result) {
    if (length < 0 || length > YNET_MAX_BODY)
        result =
            Fail(YNET_E_ARG, "%s: body length %d is not within 0 to %d", op, static_cast<int>(length), YNET_MAX_BODY);
    else if (body == nullptr && length > 0)
        result = Fail(YNET_E_ARG, "%s: the body is null", op);
    else
        return true;
    return false;
}

// The log sink: the application's function and pointer, owned by the log
// (SetOwnedLogSink), which frees it once replaced.
struct LogTarget {
    ynet_log_fn sink;
    void* user;
};

void ForwardLogLine(const char* line, void* context) {
    // A copy: the sink may replace itself, which frees context.
    const LogTarget target = *static_cast<const LogTarget*>(context);
    const bool outer = t_InLogSink;
    t_InLogSink = true;
    target.sink(target.user, line);
    t_InLogSink = outer;
}

void FreeLogTarget(void* context) {
    delete static_cast<LogTarget*>(context);
}

} // namespace

extern "C" {

uint32_t YNET_CALL ynet_version(void) {
    return YNET_VERSION;
}

const char* YNET_CALL ynet_last_error(void) {
    return t_Error;
}

int32_t YNET_CALL ynet_stack_start(void) {
    int32_t result = YNET_OK;
    if (RefusedInLogSink("ynet_stack_start", result))
        return result;
    if (SocketInit() != 0)
        return Fail(YNET_E_FAIL, "ynet_stack_start: the socket stack did not start (version 2.0)");
    return YNET_OK;
}

int32_t YNET_CALL ynet_stack_stop(void) {
    int32_t result = YNET_OK;
    if (RefusedInLogSink("ynet_stack_stop", result))
        return result;
    {
        std::lock_guard<std::mutex> lock(g_ClientsLock);
        if (!g_Clients.empty())
            return Fail(YNET_E_STATE, "ynet_stack_stop: %u client(s) not destroyed yet",
                        static_cast<unsigned>(g_Clients.size()));
    }
    SocketRelease();
    return YNET_OK;
}

int32_t YNET_CALL ynet_set_log_sink(ynet_log_fn sink, void* user) {
    LogTarget* target = nullptr;
    if (sink != nullptr) {
        target = new (std::nothrow) LogTarget{sink, user};
        if (target == nullptr)
            return Fail(YNET_E_MEMORY, "ynet_set_log_sink: out of memory");
    }
    // Lines are written under the log's lock, the only one this takes (a
    // sink may call it): once it returns, no line reaches the old target.
    SetOwnedLogSink(target != nullptr ? ForwardLogLine : nullptr, target, FreeLogTarget);
    return YNET_OK;
}

int32_t YNET_CALL ynet_client_new(const ynet_callbacks* callbacks, ynet_client** client) {
    if (client == nullptr)
        return Fail(YNET_E_ARG, "ynet_client_new: the place for the handle is null");
    *client = nullptr;
    int32_t result = YNET_OK;
    if (RefusedInLogSink("ynet_client_new", result))
        return result;
    if (callbacks == nullptr)
        return Fail(YNET_E_ARG, "ynet_client_new: the callbacks are null");
    if (callbacks->size < sizeof(ynet_callbacks))
        return Fail(YNET_E_ARG, "ynet_client_new: callbacks size %u is less than %u", callbacks->size,
                    static_cast<unsigned>(sizeof(ynet_callbacks)));
    if (callbacks->on_message == nullptr)
        return Fail(YNET_E_ARG, "ynet_client_new: on_message is null");
    auto* created = new (std::nothrow) CClient(*callbacks);
    if (created == nullptr)
        return Fail(YNET_E_MEMORY, "ynet_client_new: out of memory");
    try {
        std::lock_guard<std::mutex> lock(g_ClientsLock);
        g_Clients.insert(created);
    } catch (...) {
        delete created;
        return Fail(YNET_E_MEMORY, "ynet_client_new: out of memory");
    }
    *client = created;
    return YNET_OK;
}

int32_t YNET_CALL ynet_client_connect(ynet_client* handle, const char* server, const ynet_connect_options* options) {
    const char* op = "ynet_client_connect";
    int32_t result = YNET_OK;
    CClient* client = LookupOffReceiveThread(handle, op, result);
    if (client == nullptr)
        return result;
    YSocketAddr serverAddr{};
    if (server == nullptr || !ParseAddress(server, serverAddr))
        return Fail(YNET_E_ARG, "%s: the server is not \"a.b.c.d:port\": %s", op,
                    server != nullptr ? server : "(null)");
    ynet_connect_options direct{sizeof(ynet_connect_options), YNET_PROXY_NONE, nullptr, nullptr, nullptr, 0};
    if (options == nullptr)
        options = &direct;
    if (options->size < sizeof(ynet_connect_options))
        return Fail(YNET_E_ARG, "%s: options size %u is less than %u", op, options->size,
                    static_cast<unsigned>(sizeof(ynet_connect_options)));
    if (options->proxy_type > YNET_PROXY_HTTP)
        return Fail(YNET_E_ARG, "%s: unknown proxy type %u", op, options->proxy_type);
    if (options->proxy_type == YNET_PROXY_SOCKS4 && (options->user != nullptr || options->password != nullptr))
        return Fail(YNET_E_ARG, "%s: a SOCKS4 proxy takes no user name or password", op);
    YSocketAddr proxyAddr{};
    bool viaProxy = options->proxy_type != YNET_PROXY_NONE;
    if (viaProxy && (options->proxy == nullptr || !ParseAddress(options->proxy, proxyAddr)))
        return Fail(YNET_E_ARG, "%s: the proxy is not \"a.b.c.d:port\": %s", op,
                    options->proxy != nullptr ? options->proxy : "(null)");
    for (const char* credential : {options->user, options->password}) {
        if (credential != nullptr && std::strlen(credential) > TCPClient_Socks5::kMaxCredential)
            return Fail(YNET_E_ARG, "%s: a user name or password is longer than %d bytes", op,
                        TCPClient_Socks5::kMaxCredential);
    }
    auto type = options->proxy_type == YNET_PROXY_SOCKS4 ? TCPClient_Socks5::SOCKS4
                : options->proxy_type == YNET_PROXY_HTTP ? TCPClient_Socks5::HTTP
                                                         : TCPClient_Socks5::SOCKS5;
    std::optional<TCPClient::CallScope> call; // the whole connect, ended by an ending call from another thread
    TCPClient_Socks5* proxied = viaProxy ? client->Proxied(call) : nullptr;
    TCPClient* tcp = viaProxy ? proxied : client->Direct(call);
    if (tcp == nullptr)
        return Fail(YNET_E_MEMORY, "%s: out of memory", op);
    tcp->SetConnectTimeout(options->timeout_ms);
    client->BeginConnect();
    LONG connected = viaProxy ? proxied->Init(serverAddr, type, &proxyAddr, options->user, options->password)
                              : tcp->Init(serverAddr);
    client->EndConnect(connected == 0);
    if (connected != 0)
        return Fail(YNET_E_FAIL, "%s: cannot connect to %s%s%s (the library's log says why)", op, server,
                    viaProxy ? " through " : "", viaProxy ? options->proxy : "");
    return YNET_OK;
}

int32_t YNET_CALL ynet_client_reconnect(ynet_client* handle) {
    int32_t result = YNET_OK;
    CClient* client = LookupOffReceiveThread(handle, "ynet_client_reconnect", result);
    if (client == nullptr)
        return result;
    if (!client->EverConnected())
        return Fail(YNET_E_FAIL, "ynet_client_reconnect: the client never connected: connect it first");
    // Only a connection whose receive thread still reads can take a new
    // socket: after a cut (or a disconnect, a release) nobody would read it.
    TCPClient* tcp = client->Active();
    if (tcp != nullptr && !tcp->IsReceiving())
        return Fail(YNET_E_STATE, "ynet_client_reconnect: no receive thread reads this connection (it was cut or "
                                  "ended): connect again with ynet_client_connect");
    if (client->Reconnect() != 0)
        return Fail(YNET_E_FAIL, "ynet_client_reconnect: cannot connect again (the library's log says why)");
    if (tcp != nullptr && !tcp->IsReceiving())
        return Fail(YNET_E_STATE, "ynet_client_reconnect: the connection was cut while it reconnected (on_cut "
                                  "says so): connect again with ynet_client_connect");
    return YNET_OK;
}

int32_t YNET_CALL ynet_client_send(ynet_client* handle, uint32_t mainID, uint32_t assistantID, uint32_t flags,
                                   const void* body, int32_t bodyLength) {
    const char* op = "ynet_client_send";
    int32_t result = YNET_OK;
    CClient* client = Lookup(handle, op, result);
    if (client == nullptr || !CheckMessage(op, mainID, assistantID, flags, result) ||
        !CheckBody(op, body, bodyLength, result))
        return result;
    unsigned char message[YNET_MAX_MESSAGE];
    const int length = YNetMsgHead::HeadSize + bodyLength;
    reinterpret_cast<YNetMsgHead*>(message)->SetHead(
        static_cast<WORD>(length), static_cast<BYTE>(mainID), static_cast<BYTE>(assistantID),
        (flags & YNET_FLAG_REQUEST) != 0, (flags & YNET_FLAG_RESPOND) != 0, (flags & YNET_FLAG_ORDINAL) != 0);
    if (bodyLength > 0)
        std::memcpy(message + YNetMsgHead::HeadSize, body, static_cast<size_t>(bodyLength));
    TCPClient* tcp = client->Active();
    if (tcp == nullptr || tcp->SendMsg(nullptr, message, length) != length)
        return Fail(YNET_E_FAIL, "%s: the connection is closed or the send failed", op);
    return YNET_OK;
}

int32_t YNET_CALL ynet_client_is_connected(ynet_client* handle) {
    int32_t result = YNET_OK;
    CClient* client = Lookup(handle, "ynet_client_is_connected", result);
    if (client == nullptr)
        return result;
    TCPClient* tcp = client->Active();
    return tcp != nullptr && tcp->IsConnect() ? 1 : 0;
}

int32_t YNET_CALL ynet_client_disconnect(ynet_client* handle) {
    int32_t result = YNET_OK;
    CClient* client = Lookup(handle, "ynet_client_disconnect", result);
    if (client == nullptr)
        return result;
    if (TCPClient* tcp = client->Active(); tcp != nullptr)
        tcp->Disconnect();
    return YNET_OK;
}

int32_t YNET_CALL ynet_client_release(ynet_client* handle) {
    int32_t result = YNET_OK;
    CClient* client = Lookup(handle, "ynet_client_release", result);
    if (client == nullptr)
        return result;
    if (TCPClient* tcp = client->Active(); tcp != nullptr)
        tcp->Release();
    return YNET_OK;
}

int32_t YNET_CALL ynet_client_wait_release(ynet_client* handle) {
    int32_t result = YNET_OK;
    CClient* client = LookupOffReceiveThread(handle, "ynet_client_wait_release", result);
    if (client == nullptr)
        return result;
    if (TCPClient* tcp = client->Active(); tcp != nullptr)
        tcp->Wait_Release();
    return YNET_OK;
}

int32_t YNET_CALL ynet_client_destroy(ynet_client* handle) {
    int32_t result = YNET_OK;
    CClient* client = LookupOffReceiveThread(handle, "ynet_client_destroy", result);
    if (client == nullptr)
        return result;
    {
        std::lock_guard<std::mutex> lock(g_ClientsLock);
        if (g_Clients.erase(handle) == 0) // another thread destroyed it meanwhile
            return Fail(YNET_E_HANDLE, "ynet_client_destroy: the client handle is not a live client (destroyed?)");
    }
    delete client;
    return YNET_OK;
}

int32_t YNET_CALL ynet_head_pack(const ynet_head* head, uint8_t* bytes4) {
    const char* op = "ynet_head_pack";
    int32_t result = YNET_OK;
    if (head == nullptr || bytes4 == nullptr)
        return Fail(YNET_E_ARG, "%s: the head or the bytes are null", op);
    if (head->size < static_cast<uint32_t>(YNetMsgHead::HeadSize) || head->size > YNET_MAX_MESSAGE)
        return Fail(YNET_E_ARG, "%s: size %u is not within 4 to %d", op, head->size, YNET_MAX_MESSAGE);
    if (!CheckMessage(op, head->main_id, head->assistant_id, head->flags, result))
        return result;
    YNetMsgHead packed;
    packed.SetHead(static_cast<WORD>(head->size), static_cast<BYTE>(head->main_id),
                   static_cast<BYTE>(head->assistant_id), (head->flags & YNET_FLAG_REQUEST) != 0,
                   (head->flags & YNET_FLAG_RESPOND) != 0, (head->flags & YNET_FLAG_ORDINAL) != 0);
    std::memcpy(bytes4, &packed, sizeof(packed));
    return YNET_OK;
}

int32_t YNET_CALL ynet_head_unpack(const uint8_t* bytes4, ynet_head* head) {
    if (head == nullptr || bytes4 == nullptr)
        return Fail(YNET_E_ARG, "ynet_head_unpack: the head or the bytes are null");
    YNetMsgHead packed;
    std::memcpy(&packed, bytes4, sizeof(packed));
    head->size = static_cast<uint32_t>(packed.GetSize());
    head->main_id = packed.GetMainID();
    head->assistant_id = packed.GetAssistantID();
    head->flags = (packed.IsRequestMsg() ? YNET_FLAG_REQUEST : 0u) | (packed.IsRespondMsg() ? YNET_FLAG_RESPOND : 0u) |
                  (packed.IsOrdinal() ? YNET_FLAG_ORDINAL : 0u);
    return YNET_OK;
}

int32_t YNET_CALL ynet_encode(uint8_t* body, int32_t length) {
    int32_t result = YNET_OK;
    if (!CheckBody("ynet_encode", body, length, result))
        return result;
    unsigned char unused = 0;
    Encode(body, static_cast<DWORD>(length), unused);
    return YNET_OK;
}

int32_t YNET_CALL ynet_decode(uint8_t* body, int32_t length) {
    int32_t result = YNET_OK;
    if (!CheckBody("ynet_decode", body, length, result))
        return result;
    unsigned char unused = 0;
    Decode(body, static_cast<DWORD>(length), unused);
    return YNET_OK;
}

int32_t YNET_CALL ynet_client_connect_url(ynet_client* handle, const char* target, const char* proxyUrl,
                                          uint32_t timeoutMs) {
    const char* op = "ynet_client_connect_url";
    int32_t result = YNET_OK;
    CClient* client = LookupOffReceiveThread(handle, op, result);
    if (client == nullptr)
        return result;
    if (target == nullptr)
        return Fail(YNET_E_ARG, "%s: the target is null", op);
    const YSocketTarget parsed = YSocketTarget::Parse(target, std::strlen(target));
    char why[2 * YSocketTarget::kMaxName];
    if (parsed.Refused(why, sizeof why))
        return Fail(YNET_E_ARG, "%s: %s", op, why);
    ProxyUrl url;
    if (!url.Parse(proxyUrl))
        return Fail(YNET_E_ARG, "%s: %s", op, url.Why());
    const bool viaProxy = url.GetScheme() != ProxyUrl::NONE;
    std::optional<TCPClient::CallScope> call; // the whole connect, ended by an ending call from another thread
    TCPClient_Socks5* proxied = viaProxy ? client->Proxied(call) : nullptr;
    TCPClient* tcp = viaProxy ? proxied : client->Direct(call);
    if (tcp == nullptr)
        return Fail(YNET_E_MEMORY, "%s: out of memory", op);
    tcp->SetConnectTimeout(timeoutMs);
    client->BeginConnect();
    const LONG connected = viaProxy ? proxied->Init(parsed, url) : tcp->Init(parsed);
    client->EndConnect(connected == 0);
    if (connected != 0)
        return Fail(YNET_E_FAIL, "%s: cannot connect to %s%s%s (the library's log says why)", op, target,
                    viaProxy ? " through the proxy " : "", viaProxy ? url.GetProxy().GetHost() : "");
    return YNET_OK;
}

int32_t YNET_CALL ynet_client_set_nodelay(ynet_client* handle, int32_t on) {
    const char* op = "ynet_client_set_nodelay";
    int32_t result = YNET_OK;
    CClient* client = Lookup(handle, op, result);
    if (client == nullptr)
        return result;
    if (on != 0 && on != 1)
        return Fail(YNET_E_ARG, "%s: on is %d, not 0 or 1", op, static_cast<int>(on));
    client->SetNoDelay(on == 1);
    return YNET_OK;
}

int32_t YNET_CALL ynet_client_set_keepalive(ynet_client* handle, uint32_t idleMs, uint32_t intervalMs, uint32_t count) {
    const char* op = "ynet_client_set_keepalive";
    int32_t result = YNET_OK;
    CClient* client = Lookup(handle, op, result);
    if (client == nullptr)
        return result;
    if (!client->SetKeepAlive(idleMs, intervalMs, count))
        return Fail(YNET_E_ARG,
                    "%s: %u ms idle, %u ms between probes, %u probes refused: the times are 1 to 32767000 ms, "
                    "the probes 0 to 127",
                    op, idleMs, intervalMs, count);
    return YNET_OK;
}

} // extern "C"
