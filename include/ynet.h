/* Public header. ynet.h: the C interface of YonderNetC.
 *
 * Plain C (C99 or C++ compile it), for every compiler and language that can
 * call a C function in a shared library: MSVC, clang-cl, MinGW-w64, Python's
 * ctypes, Delphi, C#, Rust, Go. It includes only <stdint.h>.
 *
 * Stability rules (they hold for every release of major version 1):
 *   - Only fixed-width integers, pointers to opaque structs, pointers to
 *     bytes and text, and function pointers cross it; no bool, enum, bit
 *     field or C++ type.
 *   - Every function and callback uses one calling convention, YNET_CALL
 *     (__cdecl on 32-bit Windows, so a 32-bit MSVC program links the name
 *     _ynet_x and the DLL exports ynet_x), on both sides.
 *   - A struct the caller fills (ynet_callbacks, ynet_connect_options)
 *     starts with its own size: set it to sizeof. A later release may add
 *     fields at the end and reads only the fields the given size holds; a
 *     size smaller than the first release's struct is refused.
 *   - Functions are only added, never changed or removed.
 *
 * Results: every function that can fail returns an int32_t, YNET_OK (0) or
 * a negative YNET_E_* code, and then leaves a text saying why for the calling
 * thread (ynet_last_error). Bad arguments never abort the process: a null
 * handle or pointer, a missing message callback, a length or ID out of
 * range, a handle that was destroyed (told apart while its memory has not
 * been given to a new client) each return YNET_E_ARG or YNET_E_HANDLE.
 *
 * Threads: each client has its own receive thread; the callbacks run on it.
 * A callback may call ynet_client_send (of any client), ynet_client_disconnect
 * and ynet_client_release. A callback may also take its time: only its own
 * connection's receiving waits meanwhile. On the client's own receive thread
 * ynet_client_connect, ynet_client_reconnect, ynet_client_wait_release and
 * ynet_client_destroy are refused with YNET_E_STATE (they would wait for the
 * thread they run on): cut from a callback by returning non-zero from
 * on_message or by ynet_client_release, and destroy from the owner's thread.
 * Connect, reconnect, wait_release and destroy of one client are its
 * owner's calls: one thread at a time. Destroying a client while another
 * thread is still inside a call with the same handle is the caller's
 * error, as freeing any object in use is. Destroying another client from a
 * callback waits for that client's thread (two clients that destroy each
 * other from their callbacks wait for ever).
 */
#ifndef YNET_H
#define YNET_H

#include <stdint.h>

#if defined(_WIN32)
#define YNET_CALL __cdecl
#if defined(YNET_BUILDING)
#define YNET_C_API __declspec(dllexport)
#elif defined(YNET_STATIC)
#define YNET_C_API
#else
#define YNET_C_API __declspec(dllimport)
#endif
#else
#define YNET_CALL
#define YNET_C_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The version this header describes: major << 16 | minor << 8 | patch. */
#define YNET_VERSION ((1 << 16) | (0 << 8) | 0)

/* Results. */
#define YNET_OK 0
#define YNET_E_ARG (-1)    /* an argument is null, out of range or malformed */
#define YNET_E_HANDLE (-2) /* the client handle is null or was destroyed */
#define YNET_E_STATE (-3)  /* not allowed now (from the client's own callback, clients still alive) */
#define YNET_E_FAIL (-4)   /* the operation failed (connect, handshake, send, stack start-up) */
#define YNET_E_MEMORY (-5) /* out of memory */

/* Message limits: the whole message (4-byte head and body) is at most 1440 bytes. */
#define YNET_MAX_MESSAGE 1440
#define YNET_MAX_BODY 1436
#define YNET_MAX_MAIN_ID 63
#define YNET_MAX_ASSISTANT_ID 255

/* Head flags (any combination). */
#define YNET_FLAG_REQUEST 1u
#define YNET_FLAG_RESPOND 2u
#define YNET_FLAG_ORDINAL 4u

/* Notifications (on_notify's what, and the wParam posted to the window). */
#define YNET_NOTIFY_CONNECTED 1u
#define YNET_NOTIFY_THREAD_STARTED 2u
#define YNET_NOTIFY_THREAD_ENDED 3u

/* Proxy types of ynet_connect_options. */
#define YNET_PROXY_NONE 0u
#define YNET_PROXY_SOCKS4 1u
#define YNET_PROXY_SOCKS5 2u
#define YNET_PROXY_HTTP 3u /* an HTTP proxy's CONNECT, with Basic credentials */

typedef struct ynet_client ynet_client; /* opaque */

/* One received message, on the client's receive thread: head fields and
 * the unscrambled body (body_length bytes, 0 to 1436), valid only during
 * the call and never copied. Return 0 to keep receiving; any other value
 * cuts the connection (on_cut follows, then the thread ends). */
typedef int32_t(YNET_CALL* ynet_message_fn)(void* user, ynet_client* client, uint32_t main_id, uint32_t assistant_id,
                                            uint32_t flags, const uint8_t* body, int32_t body_length);
/* The connection is cut, the receive thread begins or ends. */
typedef void(YNET_CALL* ynet_event_fn)(void* user, ynet_client* client);
/* A notification (YNET_NOTIFY_*). CONNECTED comes on the thread that called
 * ynet_client_connect, when the connection is made, before any callback of
 * the receive thread (which waits for it: do not wait for that thread from
 * this call); THREAD_STARTED and THREAD_ENDED on the receive thread. A
 * client's callbacks never run at the same time as each other. */
typedef void(YNET_CALL* ynet_notify_fn)(void* user, ynet_client* client, uint32_t what);
/* One log line of the library (8-bit text, no newline), from any thread,
 * one line at a time. */
typedef void(YNET_CALL* ynet_log_fn)(void* user, const char* line);

/* What the caller gives ynet_client_new; copied, so it may go once the call returns. */
typedef struct ynet_callbacks {
    uint32_t size;              /* sizeof(ynet_callbacks) */
    void* user;                 /* handed to every callback */
    ynet_message_fn on_message; /* required */
    ynet_event_fn on_cut;       /* optional (null), as are the rest */
    ynet_event_fn on_thread_begin;
    ynet_event_fn on_thread_end;
    ynet_notify_fn on_notify;
    void* window;            /* HWND: the notifications are also posted there (PostMessage), or null */
    uint32_t window_message; /* the window message number they are posted as */
} ynet_callbacks;

/* Optional settings of ynet_client_connect (null: direct, no bound). */
typedef struct ynet_connect_options {
    uint32_t size;        /* sizeof(ynet_connect_options) */
    uint32_t proxy_type;  /* YNET_PROXY_NONE, _SOCKS4, _SOCKS5 or _HTTP */
    const char* proxy;    /* the proxy's "a.b.c.d:port", when proxy_type is not NONE */
    const char* user;     /* SOCKS5 or HTTP user name and password, or null for none */
    const char* password; /* (each at most 255 bytes; SOCKS4 takes none) */
    uint32_t timeout_ms;  /* bound on the connect and the handshake; 0: none */
} ynet_connect_options;

/* A message head, unpacked. */
typedef struct ynet_head {
    uint32_t size; /* of the whole message, head included */
    uint32_t main_id;
    uint32_t assistant_id;
    uint32_t flags; /* YNET_FLAG_* */
} ynet_head;

/* The library's version (YNET_VERSION of the library that was built). */
YNET_C_API uint32_t YNET_CALL ynet_version(void);
/* Why the last failed call on this thread failed; "" before any failure.
 * The text stays valid until the thread's next failing call. */
YNET_C_API const char* YNET_CALL ynet_last_error(void);

/* Socket stack: start once before the first client, stop after the last is
 * destroyed (stop refuses with YNET_E_STATE while a client exists). */
YNET_C_API int32_t YNET_CALL ynet_stack_start(void);
YNET_C_API int32_t YNET_CALL ynet_stack_stop(void);

/* The sink of the library's log lines; null restores the default (stderr). */
YNET_C_API int32_t YNET_CALL ynet_set_log_sink(ynet_log_fn sink, void* user);

/* A client, not yet connected. *client receives the handle. */
YNET_C_API int32_t YNET_CALL ynet_client_new(const ynet_callbacks* callbacks, ynet_client** client);
/* Connects to server "a.b.c.d:port" (blocking), directly or through the
 * proxy of options, and starts the receive thread. */
YNET_C_API int32_t YNET_CALL ynet_client_connect(ynet_client* client, const char* server,
                                                 const ynet_connect_options* options);
/* A new connection to the same server (and proxy), replacing the one held;
 * the running receive thread carries on with it. After a cut, a disconnect
 * or a release no thread would read it: YNET_E_STATE, connect again. The
 * client's states and calls: the table in client/TCPClient.h. */
YNET_C_API int32_t YNET_CALL ynet_client_reconnect(ynet_client* client);
/* Sends one message: the head is built and a copy of the body scrambled
 * here (body is not changed). Any thread, a callback of any client too.
 *   main_id       0 to YNET_MAX_MAIN_ID, else YNET_E_ARG
 *   assistant_id  0 to YNET_MAX_ASSISTANT_ID, else YNET_E_ARG
 *   flags         YNET_FLAG_REQUEST, _RESPOND, _ORDINAL or'ed; another bit:
 *                 YNET_E_ARG
 *   body, length  length 0 to YNET_MAX_BODY, else YNET_E_ARG; body may be
 *                 null only when length is 0, else YNET_E_ARG
 * YNET_E_HANDLE for a null or destroyed client; YNET_E_FAIL when the
 * connection is closed or the send failed. The client is checked first,
 * then the arguments in the order above, before anything is sent;
 * ynet_last_error names the one refused. */
YNET_C_API int32_t YNET_CALL ynet_client_send(ynet_client* client, uint32_t main_id, uint32_t assistant_id,
                                              uint32_t flags, const void* body, int32_t body_length);
/* 1 when connected (the receive thread runs on an open connection), 0 when
 * not, or a negative YNET_E_* code. */
YNET_C_API int32_t YNET_CALL ynet_client_is_connected(ynet_client* client);
/* Abortive close: the receive thread sees the connection cut (on_cut) and ends. */
YNET_C_API int32_t YNET_CALL ynet_client_disconnect(ynet_client* client);
/* Close and ask the receive thread to end, without waiting. */
YNET_C_API int32_t YNET_CALL ynet_client_release(ynet_client* client);
/* Close gracefully and wait for the receive thread to end. */
YNET_C_API int32_t YNET_CALL ynet_client_wait_release(ynet_client* client);
/* Ends the connection, waits for the receive thread and frees the client;
 * the handle is dead afterwards. */
YNET_C_API int32_t YNET_CALL ynet_client_destroy(ynet_client* client);

/* The 4-byte wire head: pack checks every field (size 4 to 1440, IDs and
 * flags within their ranges); unpack reads any 4 bytes. */
YNET_C_API int32_t YNET_CALL ynet_head_pack(const ynet_head* head, uint8_t* bytes4);
YNET_C_API int32_t YNET_CALL ynet_head_unpack(const uint8_t* bytes4, ynet_head* head);
/* The body scrambler, in place: a body of 0 to 1436 bytes (the bytes after the head). */
YNET_C_API int32_t YNET_CALL ynet_encode(uint8_t* body, int32_t length);
YNET_C_API int32_t YNET_CALL ynet_decode(uint8_t* body, int32_t length);

/* Connects to target (blocking), directly or through the proxy proxy_url
 * names, and starts the receive thread, as ynet_client_connect does.
 *   target     "host:port", "a.b.c.d:port" or "[IPv6]:port", port 1-65535.
 *              An IPv4 address is written a.b.c.d (no leading zeros).
 *   proxy_url  null or "" for a direct connection; otherwise, as curl
 *              reads them, socks4://HOST[:PORT], socks4a://HOST[:PORT],
 *              socks5://, socks5h:// or http://[USER[:PASSWORD]@]HOST[:PORT]
 *              (PORT 1080 when left out; USER and PASSWORD %-encoded).
 *   timeout_ms bounds the whole attempt: the lookups, the connects to
 *              every address, the handshake; 0: none.
 * A name is resolved here for a direct connection, socks4:// and socks5://
 * (its IPv4 addresses tried in turn: through a proxy, on to the next only
 * while the proxy refuses the target), by the proxy for socks4a://,
 * socks5h:// and http://. An IPv6 target needs socks5://, socks5h:// or
 * http://. YNET_E_ARG, before anything is sent, for a target or URL that
 * is refused (the error text says why); YNET_E_FAIL when the connection
 * or the proxy fails (the library's log says why). ynet_client_reconnect
 * repeats the attempt (the name resolved again). */
YNET_C_API int32_t YNET_CALL ynet_client_connect_url(ynet_client* client, const char* target, const char* proxy_url,
                                                     uint32_t timeout_ms);

/* TCP_NODELAY on the client's connections: 1 (the default) sends each
 * message at once; 0 lets the system hold a small message back while an
 * earlier one is unacknowledged (Nagle's algorithm), which makes a request
 * of two messages wait for the server's delayed acknowledgement (some
 * 40 ms). The bytes sent are the same either way. It applies to the
 * connections made after the call (ynet_client_connect, directly or to the
 * proxy, ynet_client_connect_url and ynet_client_reconnect); a live
 * connection keeps what it was made with. Any thread. YNET_E_ARG when on
 * is neither 0 nor 1. */
YNET_C_API int32_t YNET_CALL ynet_client_set_nodelay(ynet_client* client, int32_t on);
/* TCP keepalive on the client's connections: after idle_ms without traffic
 * a probe, then one every interval_ms; count probes unanswered cut the
 * connection (on_cut follows one log line saying that the peer stopped
 * answering). idle_ms 0 turns it off (interval_ms and count are then not
 * read). Default: on, 60000, 10000, 6, so that a peer that vanished is
 * noticed within two minutes of silence. Applies as ynet_client_set_nodelay
 * does; any thread. YNET_E_ARG, the setting unchanged, unless idle_ms is 0
 * or idle_ms and interval_ms are 1 to 32767000 and count 0 (the system's
 * own) to 127. Linux counts whole seconds (times are rounded up); Windows
 * before 10 version 1703 keeps its own count (10). */
YNET_C_API int32_t YNET_CALL ynet_client_set_keepalive(ynet_client* client, uint32_t idle_ms, uint32_t interval_ms,
                                                       uint32_t count);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* YNET_H */
