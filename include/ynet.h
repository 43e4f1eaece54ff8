/** @file
 * @brief Public header. ynet.h: the C interface of YonderNetC.
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
 * @par Results
 * Every function that can fail returns an int32_t, YNET_OK (0) or
 * a negative YNET_E_* code, and then leaves a text saying why for the calling
 * thread (ynet_last_error). Bad arguments never abort the process: a null
 * handle or pointer, a missing message callback, a length or ID out of
 * range, a handle that was destroyed (told apart while its memory has not
 * been given to a new client) each return YNET_E_ARG or YNET_E_HANDLE.
 *
 * @par Threads
 * Each client has its own receive thread; the callbacks run on it, but for
 * on_notify's YNET_NOTIFY_CONNECTED, which runs on the connecting thread
 * while the receive thread waits for it to return.
 * A callback may call ynet_client_send (of any client), ynet_client_disconnect
 * and ynet_client_release. A callback may also take its time: only its own
 * connection's receiving waits meanwhile. From the client's own callbacks
 * (CONNECTED included) ynet_client_connect, ynet_client_connect_url,
 * ynet_client_reconnect, ynet_client_wait_release and ynet_client_destroy of
 * that client are refused with YNET_E_STATE (they would wait for its receive
 * thread, which waits for the callback): cut from a callback by returning
 * non-zero from on_message or by ynet_client_release, and destroy from the
 * owner's thread. The log sink may call only what ynet_log_fn lists.
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
/** The calling convention of every function and callback: __cdecl on Windows, the default elsewhere. */
#define YNET_CALL
/** The mark of an exported function: dllimport on Windows (dllexport while
 * the library is built, nothing with YNET_STATIC), default visibility elsewhere. */
#define YNET_C_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** The version this header describes: major << 16 | minor << 8 | patch. */
#define YNET_VERSION ((1 << 16) | (0 << 8) | 0)

/** @name Results
 * What a function that can fail returns; with any code but YNET_OK,
 * ynet_last_error tells the calling thread why. Each function lists the
 * codes it can return and when.
 * @{ */
#define YNET_OK 0          /**< success */
#define YNET_E_ARG (-1)    /**< an argument is null, out of range or malformed */
#define YNET_E_HANDLE (-2) /**< the client handle is null or was destroyed */
#define YNET_E_STATE (-3)  /**< not allowed now (from the client's own callback or the log sink, clients alive) */
#define YNET_E_FAIL (-4)   /**< the operation failed (connect, handshake, send, stack start-up) */
#define YNET_E_MEMORY (-5) /**< out of memory */
/** @} */

/** @name Message limits
 * The whole message (4-byte head and body) is at most 1440 bytes.
 * @{ */
#define YNET_MAX_MESSAGE 1440     /**< a whole message, head included, in bytes */
#define YNET_MAX_BODY 1436        /**< a body, in bytes */
#define YNET_MAX_MAIN_ID 63       /**< the largest main ID (6 bits) */
#define YNET_MAX_ASSISTANT_ID 255 /**< the largest assistant ID (8 bits) */
/** @} */

/** @name Head flags
 * Any combination, or'ed.
 * @{ */
#define YNET_FLAG_REQUEST 1u /**< the request bit */
#define YNET_FLAG_RESPOND 2u /**< the respond bit */
#define YNET_FLAG_ORDINAL 4u /**< the ordinal bit */
/** @} */

/** @name Notifications
 * on_notify's what, and the wParam posted to the window of ynet_callbacks.
 * @{ */
#define YNET_NOTIFY_CONNECTED 1u      /**< a connect succeeded (on the connecting thread) */
#define YNET_NOTIFY_THREAD_STARTED 2u /**< the receive thread started (on it) */
#define YNET_NOTIFY_THREAD_ENDED 3u   /**< the receive thread is ending (on it) */
/** @} */

/** @name Proxy types of ynet_connect_options
 * @{ */
#define YNET_PROXY_NONE 0u   /**< a direct connection */
#define YNET_PROXY_SOCKS4 1u /**< a SOCKS4 proxy, no credentials */
#define YNET_PROXY_SOCKS5 2u /**< a SOCKS5 proxy, with or without user name and password */
#define YNET_PROXY_HTTP 3u   /**< an HTTP proxy's CONNECT, with Basic credentials */
/** @} */

/** A client: one connection at a time and its receive thread. Opaque; made
 * by ynet_client_new, ended by ynet_client_destroy. */
typedef struct ynet_client ynet_client;

/** One received message, on the client's receive thread: head fields and
 * the unscrambled body (body_length bytes, 0 to 1436), valid only during
 * the call and never copied. Return 0 to keep receiving; any other value
 * cuts the connection (on_cut follows, then the thread ends). */
typedef int32_t(YNET_CALL* ynet_message_fn)(void* user, ynet_client* client, uint32_t main_id, uint32_t assistant_id,
                                            uint32_t flags, const uint8_t* body, int32_t body_length);
/** The connection is cut, the receive thread begins or ends. */
typedef void(YNET_CALL* ynet_event_fn)(void* user, ynet_client* client);
/** A notification (YNET_NOTIFY_*). CONNECTED comes on the thread that called
 * ynet_client_connect, when the connection is made, before any callback of
 * the receive thread (which waits for it: the calls that would wait for that
 * thread are refused from here, as from the other callbacks); THREAD_STARTED
 * and THREAD_ENDED on the receive thread. A client's callbacks never run at
 * the same time as each other. */
typedef void(YNET_CALL* ynet_notify_fn)(void* user, ynet_client* client, uint32_t what);
/** One log line of the library (8-bit text, no newline), from any thread,
 * one line at a time. A line may be written while the library holds its
 * locks, or from inside a call (a failing connect, say) that another call
 * would wait for: a sink may call only ynet_version, ynet_last_error,
 * ynet_set_log_sink, ynet_head_pack, ynet_head_unpack, ynet_encode and
 * ynet_decode. Every other function returns YNET_E_STATE there, doing
 * nothing. A sink must not wait for another thread that may write a line or
 * call ynet_set_log_sink meanwhile (that thread waits for the sink). */
typedef void(YNET_CALL* ynet_log_fn)(void* user, const char* line);

/** What the caller gives ynet_client_new; copied, so it may go once the call returns. */
typedef struct ynet_callbacks {
    uint32_t size;                 /**< sizeof(ynet_callbacks) */
    void* user;                    /**< handed to every callback */
    ynet_message_fn on_message;    /**< required */
    ynet_event_fn on_cut;          /**< optional (null), as are the rest */
    ynet_event_fn on_thread_begin; /**< a receive thread begins (after on_notify(YNET_NOTIFY_THREAD_STARTED)) */
    ynet_event_fn on_thread_end;   /**< a receive thread ends (before on_notify(YNET_NOTIFY_THREAD_ENDED)) */
    ynet_notify_fn on_notify;      /**< the YNET_NOTIFY_* notifications */
    void* window;                  /**< HWND: the notifications are also posted there (PostMessage), or null */
    uint32_t window_message;       /**< the window message number they are posted as */
} ynet_callbacks;

/** Optional settings of ynet_client_connect (null: direct, no bound). */
typedef struct ynet_connect_options {
    uint32_t size;        /**< sizeof(ynet_connect_options) */
    uint32_t proxy_type;  /**< YNET_PROXY_NONE, _SOCKS4, _SOCKS5 or _HTTP */
    const char* proxy;    /**< the proxy's "a.b.c.d:port", when proxy_type is not NONE */
    const char* user;     /**< SOCKS5 or HTTP user name, or null for none (at most 255 bytes; SOCKS4 takes none) */
    const char* password; /**< SOCKS5 or HTTP password, or null for none (at most 255 bytes; SOCKS4 takes none) */
    uint32_t timeout_ms;  /**< bound on the connect and the handshake; 0: none */
} ynet_connect_options;

/** A message head, unpacked. */
typedef struct ynet_head {
    uint32_t size;         /**< of the whole message, head included */
    uint32_t main_id;      /**< 0 to YNET_MAX_MAIN_ID */
    uint32_t assistant_id; /**< 0 to YNET_MAX_ASSISTANT_ID */
    uint32_t flags;        /**< YNET_FLAG_* */
} ynet_head;

/** The library's version (YNET_VERSION of the library that was built).
 * Compare it with this header's YNET_VERSION: a program built against a
 * newer minor version than the library's may use a function the library
 * lacks.
 * @return major << 16 | minor << 8 | patch.
 * @threads Any thread, at any time (no ynet_stack_start needed).
 * @example_in{ynet-c-echo.c,start} */
YNET_C_API uint32_t YNET_CALL ynet_version(void);
/** Why the last failed call on this thread failed; "" before any failure.
 * The text stays valid until the thread's next failing call. A call that
 * succeeds leaves it as it was, so read it only after a result other than
 * YNET_OK. The text starts with the failed function's name
 * ("ynet_client_send: main ID 64 is over 63"); a failed connect says "the
 * library's log says why": the reason is in the log (ynet_set_log_sink).
 * @return The text, never null; owned by the library, per thread.
 * @threads Any thread; each thread has its own text.
 * @example_in{ynet-c-echo.c,last_error} */
YNET_C_API const char* YNET_CALL ynet_last_error(void);

/** Starts the socket stack: once before the first client connects.
 * Starts are counted, as WSAStartup's are: the stack stops with the
 * ynet_stack_stop that matches the first start.
 * @retval YNET_OK     the stack is started.
 * @retval YNET_E_STATE called from the log sink: nothing done.
 * @retval YNET_E_FAIL the system's socket stack did not start, or not in
 *                     version 2.0.
 * @threads Any thread.
 * @example_in{ynet-c-echo.c,start} */
YNET_C_API int32_t YNET_CALL ynet_stack_start(void);
/** Undoes one ynet_stack_start: the last stops the socket stack. Call it after the last client is destroyed.
 * @retval YNET_OK      one start is undone, the last one stopping the stack
 *                      (also when none was made).
 * @retval YNET_E_STATE a client exists (not yet ynet_client_destroy'ed), or
 *                      called from the log sink: nothing stopped.
 * @threads Any thread; not from a callback (its client still exists).
 * @example_in{ynet-c-echo.c,stop} */
YNET_C_API int32_t YNET_CALL ynet_stack_stop(void);

/** The sink of the library's log lines; null restores the default (stderr).
 * Every line the library writes from then on goes to sink, from whichever
 * thread writes it, one line at a time.
 * @param sink the function that takes each line, or null for stderr.
 * @param user handed to sink with each line.
 * @retval YNET_OK       the sink is in place: once the call returns, no line
 *                       reaches the sink given before (called from a sink,
 *                       the line it is handling is the last).
 * @retval YNET_E_MEMORY out of memory; the sink given before stays.
 * @threads Any thread, a sink included (on several threads at once too); it
 *          waits for a line being written on another thread.
 * @example_in{ynet-c-echo.c,start} */
YNET_C_API int32_t YNET_CALL ynet_set_log_sink(ynet_log_fn sink, void* user);

/** A client, not yet connected. *client receives the handle.
 * The callbacks are copied. ynet_stack_start must have been called before
 * the client connects.
 * @param callbacks what the client calls: size set to sizeof(ynet_callbacks),
 *                  on_message required, the rest optional.
 * @param client    receives the handle (null on failure).
 * @retval YNET_OK       *client is the new client.
 * @retval YNET_E_ARG    client or callbacks is null, callbacks->size is
 *                       smaller than ynet_callbacks, or on_message is null.
 * @retval YNET_E_MEMORY out of memory.
 * @retval YNET_E_STATE  called from the log sink.
 * @threads Any thread, a callback included.
 * @example_in{ynet-c-echo.c,new} */
YNET_C_API int32_t YNET_CALL ynet_client_new(const ynet_callbacks* callbacks, ynet_client** client);
/** Connects to server "a.b.c.d:port" (blocking), directly or through the
 * proxy of options, and starts the receive thread. On success on_notify
 * gets YNET_NOTIFY_CONNECTED on the calling thread before the call returns.
 * Connect a client that holds no connection: a new one, or one ended by
 * ynet_client_wait_release (ynet_client_reconnect replaces a live
 * connection). A connect of the other kind (through a proxy after a direct
 * one, or the reverse) first ends the connection held and waits for its
 * receive thread.
 * @param client  the client.
 * @param server  the server's IPv4 address and port, "a.b.c.d:port" (no
 *                leading zeros, port 1 to 65535); a name takes
 *                ynet_client_connect_url.
 * @param options the proxy, its credentials and the bound, or null for a
 *                direct connection with no bound.
 * @retval YNET_OK       connected; the receive thread runs.
 * @retval YNET_E_HANDLE client is null or was destroyed.
 * @retval YNET_E_STATE  called from one of the client's own callbacks
 *                       (CONNECTED included) or from the log sink.
 * @retval YNET_E_ARG    server or (through a proxy) options->proxy is null
 *                       or not "a.b.c.d:port"; options->size is smaller than
 *                       ynet_connect_options; an unknown proxy_type; a user
 *                       name or password with SOCKS4, or one longer than 255
 *                       bytes. Nothing is sent.
 * @retval YNET_E_MEMORY out of memory.
 * @retval YNET_E_FAIL   the connect, the proxy's handshake or the receive
 *                       thread's start failed, or the bound ran out (the
 *                       library's log says why); also without
 *                       ynet_stack_start, and when ynet_client_disconnect,
 *                       _release or _wait_release of this client came from
 *                       another thread while the connect ran (from its first
 *                       step, ending the connection held, to its last):
 *                       nothing is connected then.
 * @threads The owner's thread (one call at a time per client); not from the
 *          client's own callbacks.
 * @example_in{ynet-c-echo.c,connect_results} */
YNET_C_API int32_t YNET_CALL ynet_client_connect(ynet_client* client, const char* server,
                                                 const ynet_connect_options* options);
/** A new connection to the same server (and proxy), replacing the one held;
 * the running receive thread carries on with it. The connection held stays
 * until the new one is made: on failure the client is as it was. The
 * receive thread does not see a cut (no on_cut); the old connection's
 * messages not yet handed out are dropped. Once the receive thread was cut
 * (by the peer, ynet_client_disconnect or _release) nobody would read a new
 * connection: YNET_E_STATE, connect again for that. The client's states and
 * calls: the table in client/TCPClient.h.
 * @param client the client.
 * @retval YNET_OK       the new connection replaced the one held.
 * @retval YNET_E_HANDLE client is null or was destroyed.
 * @retval YNET_E_STATE  called from one of the client's own callbacks
 *                       (CONNECTED included) or from the log sink, or no
 *                       receive thread reads the connection (it was cut, or
 *                       cut while it reconnected).
 * @retval YNET_E_FAIL   the client never connected (new, or no connect of
 *                       it succeeded yet), or the new connect or
 *                       handshake failed (the library's log says why), or
 *                       another thread ended the client meanwhile
 *                       (ynet_client_disconnect, _release, _wait_release).
 * @threads The owner's thread (one call at a time per client); not from the
 *          client's own callbacks.
 * @example_in{ynet-c-echo.c,exchange} */
YNET_C_API int32_t YNET_CALL ynet_client_reconnect(ynet_client* client);
/** Sends one message: the head is built and a copy of the body scrambled
 * here (body is not changed). The message is written to the connection
 * whole, whichever threads send at once. The client is checked first, then
 * the arguments in the order below, before anything is sent;
 * ynet_last_error names the one refused.
 * @param client       the client.
 * @param main_id      0 to YNET_MAX_MAIN_ID.
 * @param assistant_id 0 to YNET_MAX_ASSISTANT_ID.
 * @param flags        YNET_FLAG_REQUEST, _RESPOND, _ORDINAL or'ed (0 for none).
 * @param body         the body; may be null only when body_length is 0.
 * @param body_length  0 to YNET_MAX_BODY.
 * @retval YNET_OK       the whole message was handed to the system.
 * @retval YNET_E_HANDLE client is null or was destroyed.
 * @retval YNET_E_ARG    main_id, assistant_id or body_length out of range, a
 *                       flag bit other than the three, or body null with
 *                       body_length not 0.
 * @retval YNET_E_FAIL   the client is not connected (never, or no longer),
 *                       or the send failed.
 * @retval YNET_E_STATE  called from the log sink: nothing sent.
 * @threads Any thread, a callback of any client too.
 * @example_in{ynet-c-echo.c,send_results} */
YNET_C_API int32_t YNET_CALL ynet_client_send(ynet_client* client, uint32_t main_id, uint32_t assistant_id,
                                              uint32_t flags, const void* body, int32_t body_length);
/** Whether the client is connected: its receive thread runs on an open
 * connection. A snapshot: another thread or the peer may end it next.
 * @param client the client.
 * @retval 1             connected.
 * @retval 0             not connected (never, cut, released).
 * @retval YNET_E_HANDLE client is null or was destroyed.
 * @retval YNET_E_STATE  called from the log sink.
 * @threads Any thread, a callback included.
 * @example_in{ynet-c-echo.c,exchange} */
YNET_C_API int32_t YNET_CALL ynet_client_is_connected(ynet_client* client);
/** Abortive close: the receive thread sees the connection cut (on_cut) and ends.
 * Unsent data is dropped; a ynet_client_connect, _connect_url or
 * _reconnect under way on another thread fails. From on_cut or
 * on_thread_end it ends that thread's connection only. Does not wait for the
 * receive thread.
 * @param client the client.
 * @retval YNET_OK       closed (also when there was no connection).
 * @retval YNET_E_HANDLE client is null or was destroyed.
 * @retval YNET_E_STATE  called from the log sink: nothing closed.
 * @threads Any thread, the client's own callbacks included.
 * @example_in{ynet-c-echo.c,on_message} */
YNET_C_API int32_t YNET_CALL ynet_client_disconnect(ynet_client* client);
/** Close and ask the receive thread to end, without waiting.
 * A ynet_client_connect, _connect_url or _reconnect under way on another
 * thread fails (from on_cut or on_thread_end it ends that thread's
 * connection only). A ynet_client_wait_release after it waits for that
 * thread; a ynet_client_connect after it waits for it too before
 * connecting.
 * @param client the client.
 * @retval YNET_OK       closed (also when there was no connection).
 * @retval YNET_E_HANDLE client is null or was destroyed.
 * @retval YNET_E_STATE  called from the log sink: nothing closed.
 * @threads Any thread, the client's own callbacks included.
 * @example_in{ynet-c-echo.c,exchange} */
YNET_C_API int32_t YNET_CALL ynet_client_release(ynet_client* client);
/** Close gracefully and wait for the receive thread to end. Afterwards the
 * client may connect again, and no code of the library runs on that thread
 * any more, also when it had ended by itself before (the program may exit
 * or unload the library at once).
 * @param client the client.
 * @retval YNET_OK       closed and the thread ended (also when there was no
 *                       connection).
 * @retval YNET_E_HANDLE client is null or was destroyed.
 * @retval YNET_E_STATE  called from one of the client's own callbacks
 *                       (CONNECTED included) or from the log sink.
 * @threads The owner's thread; not from the client's own callbacks.
 * @example_in{ynet-c-echo.c,exchange} */
YNET_C_API int32_t YNET_CALL ynet_client_wait_release(ynet_client* client);
/** Ends the connection, waits for the receive thread to end (as
 * ynet_client_wait_release does) and frees the client; the handle is dead
 * afterwards (a later call with it returns YNET_E_HANDLE while its memory
 * has not been given to a new client).
 * @param client the client.
 * @retval YNET_OK       freed.
 * @retval YNET_E_HANDLE client is null or was destroyed (also by another
 *                       thread during this call).
 * @retval YNET_E_STATE  called from one of the client's own callbacks
 *                       (CONNECTED included) or from the log sink.
 * @threads The owner's thread, while no other thread is inside a call with
 *          the same handle; not from the client's own callbacks. From
 *          another client's callback it waits for this client's thread.
 * @example_in{ynet-c-echo.c,exchange} */
YNET_C_API int32_t YNET_CALL ynet_client_destroy(ynet_client* client);

/** Packs a head into the 4-byte wire head, checking every field (size 4 to
 * 1440, IDs and flags within their ranges).
 * @param head   the fields.
 * @param bytes4 receives the 4 bytes (not touched on failure).
 * @retval YNET_OK  packed.
 * @retval YNET_E_ARG head or bytes4 is null, or a field out of range.
 * @threads Any thread; no client or stack needed.
 * @example_in{ynet-c-echo.c,head} */
YNET_C_API int32_t YNET_CALL ynet_head_pack(const ynet_head* head, uint8_t* bytes4);
/** Unpacks a 4-byte wire head; any 4 bytes are read, no field is checked.
 * @param bytes4 the 4 bytes.
 * @param head   receives the fields.
 * @retval YNET_OK    unpacked.
 * @retval YNET_E_ARG bytes4 or head is null.
 * @threads Any thread; no client or stack needed.
 * @example_in{ynet-c-echo.c,head} */
YNET_C_API int32_t YNET_CALL ynet_head_unpack(const uint8_t* bytes4, ynet_head* head);
/** Scrambles a body in place, as ynet_client_send does on its copy: a body
 * of 0 to 1436 bytes (the bytes after the head).
 * @param body   the body; may be null only when length is 0.
 * @param length 0 to YNET_MAX_BODY.
 * @retval YNET_OK    scrambled.
 * @retval YNET_E_ARG length out of range, or body null with length not 0.
 * @threads Any thread; no client or stack needed.
 * @example_in{ynet-c-echo.c,head} */
YNET_C_API int32_t YNET_CALL ynet_encode(uint8_t* body, int32_t length);
/** Unscrambles a body in place, as the receive thread does before
 * on_message: a body of 0 to 1436 bytes (the bytes after the head).
 * @param body   the body; may be null only when length is 0.
 * @param length 0 to YNET_MAX_BODY.
 * @retval YNET_OK    unscrambled.
 * @retval YNET_E_ARG length out of range, or body null with length not 0.
 * @threads Any thread; no client or stack needed.
 * @example_in{ynet-c-echo.c,head} */
YNET_C_API int32_t YNET_CALL ynet_decode(uint8_t* body, int32_t length);

/** Connects to target (blocking), directly or through the proxy proxy_url
 * names, and starts the receive thread, as ynet_client_connect does.
 * A name is resolved here for a direct connection, socks4:// and socks5://
 * (its IPv4 addresses tried in turn: through a proxy, on to the next only
 * while the proxy refuses the target), by the proxy for socks4a://,
 * socks5h:// and http://. An IPv6 target needs socks5://, socks5h:// or
 * http://. ynet_client_reconnect repeats the attempt (the name resolved
 * again).
 * @param client     the client.
 * @param target     "host:port", "a.b.c.d:port" or "[IPv6]:port", port
 *                   1-65535. An IPv4 address is written a.b.c.d (no leading
 *                   zeros).
 * @param proxy_url  null or "" for a direct connection; otherwise, as curl
 *                   reads them, socks4://HOST[:PORT], socks4a://HOST[:PORT],
 *                   socks5://, socks5h:// or http://[USER[:PASSWORD]@]HOST[:PORT]
 *                   (PORT 1080 when left out; USER and PASSWORD %-encoded).
 * @param timeout_ms bounds the whole attempt: the lookups, the connects to
 *                   every address, the handshake; 0: none.
 * @retval YNET_OK       connected; the receive thread runs.
 * @retval YNET_E_HANDLE client is null or was destroyed.
 * @retval YNET_E_STATE  called from one of the client's own callbacks
 *                       (CONNECTED included) or from the log sink.
 * @retval YNET_E_ARG    before anything is sent: target is null or refused
 *                       (no port, a malformed name or address), or
 *                       proxy_url is refused (an unknown scheme, no scheme,
 *                       credentials with socks4://, a path); the error text
 *                       says why.
 * @retval YNET_E_MEMORY out of memory.
 * @retval YNET_E_FAIL   the lookup, the connect or the proxy failed, or the
 *                       bound ran out (the library's log says why); also an
 *                       IPv6 target without a proxy, and as for
 *                       ynet_client_connect.
 * @threads The owner's thread (one call at a time per client); not from the
 *          client's own callbacks.
 * @example_in{ynet-c-echo.c,connect_url_results} */
YNET_C_API int32_t YNET_CALL ynet_client_connect_url(ynet_client* client, const char* target, const char* proxy_url,
                                                     uint32_t timeout_ms);

/** TCP_NODELAY on the client's connections: 1 (the default) sends each
 * message at once; 0 lets the system hold a small message back while an
 * earlier one is unacknowledged (Nagle's algorithm), which makes a request
 * of two messages wait for the server's delayed acknowledgement (some
 * 40 ms). The bytes sent are the same either way. It applies to the
 * connections made after the call (ynet_client_connect, directly or to the
 * proxy, ynet_client_connect_url and ynet_client_reconnect); a live
 * connection keeps what it was made with.
 * @param client the client.
 * @param on     1 or 0.
 * @retval YNET_OK       kept for the next connections.
 * @retval YNET_E_HANDLE client is null or was destroyed.
 * @retval YNET_E_ARG    on is neither 0 nor 1.
 * @retval YNET_E_STATE  called from the log sink: nothing kept.
 * @threads Any thread, a callback included.
 * @example_in{ynet-c-echo.c,new} */
YNET_C_API int32_t YNET_CALL ynet_client_set_nodelay(ynet_client* client, int32_t on);
/** TCP keepalive on the client's connections: after idle_ms without traffic
 * a probe, then one every interval_ms; count probes unanswered cut the
 * connection (on_cut follows one log line saying that the peer stopped
 * answering). Default: on, 60000, 10000, 6, so that a peer that vanished
 * is noticed within two minutes of silence. Applies as
 * ynet_client_set_nodelay does. Linux counts whole seconds (times are
 * rounded up); Windows before 10 version 1703 keeps its own count (10).
 * @param client      the client.
 * @param idle_ms     silence before the first probe, 1 to 32767000; 0 turns
 *                    keepalive off (interval_ms and count are then not read).
 * @param interval_ms time between probes, 1 to 32767000.
 * @param count       probes unanswered before the cut, 0 (the system's own)
 *                    to 127.
 * @retval YNET_OK       kept for the next connections.
 * @retval YNET_E_HANDLE client is null or was destroyed.
 * @retval YNET_E_ARG    a value out of its range; the setting unchanged.
 * @retval YNET_E_STATE  called from the log sink: nothing kept.
 * @threads Any thread, a callback included.
 * @example_in{ynet-c-echo.c,new} */
YNET_C_API int32_t YNET_CALL ynet_client_set_keepalive(ynet_client* client, uint32_t idle_ms, uint32_t interval_ms,
                                                       uint32_t count);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* YNET_H */
