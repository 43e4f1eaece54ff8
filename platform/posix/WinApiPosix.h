// Public header, POSIX side of platform/WinApi.h.
/// @file
/// @brief The POSIX side of platform/WinApi.h: a deliberate, minimal subset of the Windows API.
///
/// A deliberate, minimal subset of the Windows API, with Windows names,
/// Windows widths (LONG, DWORD and SOCKET are 32-bit here as there) and
/// Windows observable behaviour:
///   - Windows Sockets 2: error codes are Windows codes (WSAGetLastError),
///     constants have their Windows values (SOL_SOCKET is 0xFFFF), fd_set
///     is a counted array of handles and select's first argument is ignored.
///     A SOCKET is a handle of ours, not a descriptor: closesocket from
///     another thread wakes a thread blocked in recv/select on it, and a
///     stale handle answers WSAENOTSOCK instead of reaching a descriptor
///     the system has since given to someone else.
///   - Kernel objects: critical sections, interlocked exchange, events,
///     threads, waits, CancelIo.
///   - Window messages: message-only windows, a message queue per thread,
///     PostMessageA / SendMessageA / PeekMessageA / GetMessageA.
/// Everything else of the Windows API is absent on purpose.
///
/// The names are the system's socket names with Windows meanings (struct
/// sockaddr, SOL_SOCKET, select, ...): a translation unit that includes this
/// header cannot include <sys/socket.h>, <netinet/in.h> or <arpa/inet.h> too.
#pragma once

#include <cstddef>
#include <cstdint>

// glibc declares ::fd_set, ::select and the FD_* macros in every translation
// unit that includes <cstdlib>. Take its declarations first, then replace
// the names with the Winsock ones for the rest of the translation unit.
// ::timeval is used as it is: its fields have the Winsock names.
#include <sys/select.h>
#undef FD_SETSIZE
#undef FD_SET
#undef FD_CLR
#undef FD_ISSET
#undef FD_ZERO
/// Winsock's fd_set and select, in place of glibc's for the rest of the translation unit.
///@{
#define fd_set YNetWinFdSet
#define select YNetWinSelect
///@}

#include "platform/YNetExport.h"

// ---------------------------------------------------------------- types
/// The Windows types, with Windows widths: LONG, DWORD and SOCKET are 32-bit here as there.
///@{
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef std::uint32_t DWORD;
typedef std::int32_t LONG;
typedef std::uint32_t ULONG;
typedef int INT;
typedef unsigned int UINT;
typedef int BOOL;
typedef char CHAR;
typedef std::uintptr_t UINT_PTR;
typedef std::size_t SIZE_T;
typedef std::uintptr_t DWORD_PTR;
typedef std::intptr_t LONG_PTR;
typedef std::uintptr_t WPARAM;
typedef std::intptr_t LPARAM;
typedef std::intptr_t LRESULT;
typedef LONG HRESULT;
typedef void* LPVOID;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef DWORD* LPDWORD;
typedef void* HANDLE;
typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HMENU__* HMENU;
typedef struct HICON__* HICON;
typedef struct HCURSOR__* HCURSOR;
typedef struct HBRUSH__* HBRUSH;
typedef WORD ATOM;
typedef std::uint32_t SOCKET;
typedef unsigned int GROUP;
///@}

/// The calling-convention marks of Windows declarations: empty here.
///@{
#define WINAPI
#define CALLBACK
///@}

#ifndef TRUE
/// Windows' BOOL values.
#define TRUE 1
#endif
#ifndef FALSE
/// Windows' BOOL values.
#define FALSE 0
#endif

/// HRESULT values, as Windows has them.
///@{
#define S_OK ((HRESULT)0)
#define E_FAIL ((HRESULT)0x80004005)
///@}

// ---------------------------------------------------------------- kernel
/// Wait times, wait results and handle values, as Windows has them.
///@{
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define STILL_ACTIVE 0x00000103u
///@}

/// The GetLastError codes the layer sets, with Windows' values.
///@{
#define ERROR_SUCCESS 0L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_NOT_FOUND 1168L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_CANNOT_FIND_WND_CLASS 1407L
#define ERROR_CLASS_ALREADY_EXISTS 1410L
#define ERROR_CLASS_DOES_NOT_EXIST 1411L
#define ERROR_CLASS_HAS_WINDOWS 1412L
#define ERROR_INVALID_THREAD_ID 1444L
#define ERROR_NOT_ENOUGH_QUOTA 1816L
///@}

/// Windows' SECURITY_ATTRIBUTES: accepted and not read (the layer has no security).
typedef struct _SECURITY_ATTRIBUTES {
    /// As the Windows field of the same name.
    ///@{
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
    ///@}
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
/// @typedef LPSECURITY_ATTRIBUTES
/// A pointer to a SECURITY_ATTRIBUTES, as Windows names it.

/// A thread's routine, as CreateThread takes it.
typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID);

/// A recursive lock, as on Windows: the owner may enter it again and leaves
/// it as many times as it entered. The storage holds our own lock object.
typedef struct _CRITICAL_SECTION {
    /// As the Windows field of the same name.
    ///@{
    alignas(16) unsigned char Opaque[64];
    ///@}
} CRITICAL_SECTION, *LPCRITICAL_SECTION;
/// @typedef LPCRITICAL_SECTION
/// A pointer to a CRITICAL_SECTION, as Windows names it.

/// Windows' OVERLAPPED: the layer does no overlapped I/O; the type is for the declarations.
typedef struct _OVERLAPPED {
    /// As the Windows field of the same name.
    ///@{
    std::uintptr_t Internal;
    std::uintptr_t InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
    ///@}
} OVERLAPPED, *LPOVERLAPPED;
/// @typedef LPOVERLAPPED
/// A pointer to a OVERLAPPED, as Windows names it.

/// As the Windows functions of the same names, on the recursive lock above.
///@{
YNET_API void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section);
YNET_API void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section);
YNET_API BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section);
YNET_API void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section);
YNET_API void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section);
///@}

/// As the Windows functions of the same names: sequentially consistent atomic operations.
///@{
YNET_API LONG WINAPI InterlockedExchange(LONG volatile* target, LONG value);
YNET_API LONG WINAPI InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand);
YNET_API LONG WINAPI InterlockedIncrement(LONG volatile* target);
YNET_API LONG WINAPI InterlockedDecrement(LONG volatile* target);
YNET_API LONG WINAPI InterlockedExchangeAdd(LONG volatile* target, LONG value);
///@}

/// Handles of events and threads are small numbers of ours that fit in 32 bits
/// (as Windows kernel handles do), so a DWORD can carry one; a closed handle
/// is not given again until about a billion others have been.
/// Named events are not offered (a name fails with ERROR_INVALID_PARAMETER).
///@{
YNET_API HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name);
YNET_API BOOL WINAPI SetEvent(HANDLE event);
YNET_API BOOL WINAPI ResetEvent(HANDLE event);
YNET_API DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
YNET_API BOOL WINAPI CloseHandle(HANDLE handle);
///@}
/// The thread handle is signalled, and the exit code set, once the thread
/// has ended as on Windows: its routine has returned, its message queue is
/// gone, its thread-locals are destroyed and the system no longer lists the
/// thread (/proc/self/task). Creation flags other than
/// STACK_SIZE_PARAM_IS_A_RESERVATION (suspended start) are refused; the
/// stack size is always a reservation here (the system commits pages as they
/// are touched), at least 64 KiB.
///@{
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000u
YNET_API HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE routine,
                                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId);
YNET_API BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
///@}
/// A new handle to a running thread of CreateThread, by its id: waits and
/// GetExitCodeThread see the thread as through CreateThread's handle; close
/// it with CloseHandle. The access is not checked (every handle may wait).
/// The id of an ended thread, or of a thread that CreateThread did not
/// start, fails with ERROR_INVALID_PARAMETER (Windows' answer for an id of
/// no thread).
///@{
#define SYNCHRONIZE 0x00100000u
YNET_API HANDLE WINAPI OpenThread(DWORD access, BOOL inheritHandle, DWORD threadId);
///@}
/// 100-nanosecond units, as Windows counts them.
typedef struct _FILETIME {
    /// As the Windows field of the same name.
    ///@{
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
    ///@}
} FILETIME, *LPFILETIME;
/// @typedef LPFILETIME
/// A pointer to a FILETIME, as Windows names it.
/// The processor time a thread has used so far (its final time once it has
/// ended), all of it reported as user time: the system gives one sum here.
/// Creation and exit times are not kept: both read 0.
///@{
YNET_API BOOL WINAPI GetThreadTimes(HANDLE thread, LPFILETIME creationTime, LPFILETIME exitTime, LPFILETIME kernelTime,
                                    LPFILETIME userTime);
///@}
/// As the Windows functions of the same names.
///@{
YNET_API DWORD WINAPI GetCurrentThreadId();
YNET_API void WINAPI Sleep(DWORD milliseconds);
YNET_API DWORD WINAPI GetTickCount();
YNET_API DWORD WINAPI GetLastError();
YNET_API void WINAPI SetLastError(DWORD error);
///@}
/// There is no overlapped I/O here, so there is never anything to cancel.
YNET_API BOOL WINAPI CancelIo(HANDLE file);
/// Blocking socket calls here are woken by shutdown and closesocket, so there
/// is never pending I/O to cancel: answers FALSE with ERROR_NOT_FOUND, as
/// Windows does for a handle without pending I/O.
YNET_API BOOL WINAPI CancelIoEx(HANDLE file, LPOVERLAPPED overlapped);

// ---------------------------------------------------------------- sockets
/// Address families, socket types and protocols, with Windows' values (AF_INET6 is 23).
///@{
#define AF_UNSPEC 0
#define AF_INET 2
#define PF_INET AF_INET
#define AF_INET6 23
#define PF_INET6 AF_INET6
#define SOCK_STREAM 1
#define SOCK_DGRAM 2
#define IPPROTO_IP 0
#define IPPROTO_TCP 6
#define IPPROTO_UDP 17
///@}

/// The invalid handle and the failed result of the socket calls.
///@{
#define INVALID_SOCKET ((SOCKET)(~0u))
#define SOCKET_ERROR (-1)
///@}

/// Socket options, with Windows' values (SOL_SOCKET is 0xFFFF).
///@{
#define SOL_SOCKET 0xFFFF
#define SO_DEBUG 0x0001
#define SO_ACCEPTCONN 0x0002
#define SO_REUSEADDR 0x0004
#define SO_KEEPALIVE 0x0008
#define SO_DONTROUTE 0x0010
#define SO_BROADCAST 0x0020
#define SO_LINGER 0x0080
#define SO_OOBINLINE 0x0100
#define SO_SNDBUF 0x1001
#define SO_RCVBUF 0x1002
#define SO_SNDTIMEO 0x1005
#define SO_RCVTIMEO 0x1006
#define SO_ERROR 0x1007
#define SO_TYPE 0x1008
#define TCP_NODELAY 0x0001
#define TCP_KEEPCNT 16 // keepalive probes before the connection is dropped
///@}

/// shutdown's how, as Windows has it.
///@{
#define SD_RECEIVE 0x00
#define SD_SEND 0x01
#define SD_BOTH 0x02
///@}

/// recv and send flags, with Windows' values.
///@{
#define MSG_OOB 0x1
#define MSG_PEEK 0x2
#define MSG_WAITALL 0x8
///@}

/// listen's backlog and the special IPv4 addresses, as Windows has them.
///@{
#define SOMAXCONN 0x7FFFFFFF
#define INADDR_ANY ((ULONG)0x00000000)
#define INADDR_LOOPBACK ((ULONG)0x7F000001)
#define INADDR_NONE ((ULONG)0xFFFFFFFF)
///@}

/// ioctlsocket's commands, with Windows' values.
///@{
#define FIONBIO ((LONG)0x8004667E)
#define FIONREAD ((LONG)0x4004667F)
///@}

/// The Windows Sockets error codes that WSAGetLastError answers, with Windows' values.
///@{
#define WSABASEERR 10000
#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEDESTADDRREQ 10039
#define WSAEMSGSIZE 10040
#define WSAEPROTOTYPE 10041
#define WSAENOPROTOOPT 10042
#define WSAEPROTONOSUPPORT 10043
#define WSAESOCKTNOSUPPORT 10044
#define WSAEOPNOTSUPP 10045
#define WSAEPFNOSUPPORT 10046
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAENETRESET 10052
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAEHOSTUNREACH 10065
#define WSASYSNOTREADY 10091
#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093
#define WSATYPE_NOT_FOUND 10109
#define WSAHOST_NOT_FOUND 11001
#define WSATRY_AGAIN 11002
#define WSANO_RECOVERY 11003
#define WSANO_DATA 11004
///@}

/// Windows' word and byte macros.
///@{
#define MAKEWORD(low, high) ((WORD)(((BYTE)((low)&0xFF)) | ((WORD)((BYTE)((high)&0xFF))) << 8))
#define LOBYTE(w) ((BYTE)((w)&0xFF))
#define HIBYTE(w) ((BYTE)(((w) >> 8) & 0xFF))
///@}

/// The text sizes of WSADATA.
///@{
#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128
///@}

/// What WSAStartup fills, as on Windows.
typedef struct WSAData {
    /// As the Windows field of the same name.
    ///@{
    WORD wVersion;
    WORD wHighVersion;
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    ///@}
} WSADATA, *LPWSADATA;
/// @typedef LPWSADATA
/// A pointer to a WSADATA, as Windows names it.

/// An IPv4 address, with Windows' layout (the S_un union).
struct in_addr {
    /// As the Windows field of the same name.
    ///@{
    union {
        struct {
            /// The address's bytes, in network order.
            ///@{
            unsigned char s_b1, s_b2, s_b3, s_b4;
            ///@}
        } S_un_b; ///< The address as bytes.
        struct {
            /// The address's 16-bit halves, in network order.
            ///@{
            unsigned short s_w1, s_w2;
            ///@}
        } S_un_w;     ///< The address as 16-bit halves.
        ULONG S_addr; ///< The address as one 32-bit number, in network order.
    } S_un;
    ///@}
};
/// in_addr's 32-bit form, by its Windows name.
#define s_addr S_un.S_addr

/// A socket address, with Windows' layout (16-bit family).
struct sockaddr {
    /// As the Windows field of the same name.
    ///@{
    unsigned short sa_family;
    char sa_data[14];
    ///@}
};
/// The Windows name of the structure above.
typedef struct sockaddr SOCKADDR;

/// An IPv4 socket address, with Windows' layout.
struct sockaddr_in {
    /// As the Windows field of the same name.
    ///@{
    short sin_family;
    unsigned short sin_port;
    struct in_addr sin_addr;
    char sin_zero[8];
    ///@}
};
/// The Windows name of the structure above.
typedef struct sockaddr_in SOCKADDR_IN;

/// An IPv6 address, with Windows' layout.
struct in6_addr {
    /// As the Windows field of the same name.
    ///@{
    union {
        unsigned char Byte[16]; ///< The address's bytes, in network order.
        unsigned short Word[8]; ///< The address as 16-bit words, in network order.
    } u;
    ///@}
};
/// in6_addr's bytes, by their Windows name.
#define s6_addr u.Byte

/// 28 bytes, as on Windows.
struct sockaddr_in6 {
    /// As the Windows field of the same name.
    ///@{
    short sin6_family;
    unsigned short sin6_port;
    ULONG sin6_flowinfo;
    struct in6_addr sin6_addr;
    ULONG sin6_scope_id;
    ///@}
};
/// The Windows name of the structure above.
typedef struct sockaddr_in6 SOCKADDR_IN6;

/// Windows' field order (ai_canonname before ai_addr).
struct addrinfo {
    /// As the Windows field of the same name.
    ///@{
    int ai_flags;
    int ai_family;
    int ai_socktype;
    int ai_protocol;
    std::size_t ai_addrlen;
    char* ai_canonname;
    struct sockaddr* ai_addr;
    struct addrinfo* ai_next;
    ///@}
};
/// Windows' names for the structure above and for what goes with it (getaddrinfo's
/// hint flags; its results, EAI_*, are Winsock codes).
///@{
typedef struct addrinfo ADDRINFOA, *PADDRINFOA;
#define AI_PASSIVE 0x01
#define AI_CANONNAME 0x02
#define AI_NUMERICHOST 0x04
#define AI_NUMERICSERV 0x08
#define AI_ADDRCONFIG 0x0400
#define EAI_AGAIN WSATRY_AGAIN
#define EAI_BADFLAGS WSAEINVAL
#define EAI_FAIL WSANO_RECOVERY
#define EAI_FAMILY WSAEAFNOSUPPORT
#define EAI_MEMORY 8
#define EAI_NONAME WSAHOST_NOT_FOUND
#define EAI_SERVICE WSATYPE_NOT_FOUND
#define EAI_SOCKTYPE WSAESOCKTNOSUPPORT
///@}

/// SO_LINGER's value, with Windows' 16-bit fields.
struct linger {
    /// As the Windows field of the same name.
    ///@{
    unsigned short l_onoff;
    unsigned short l_linger;
    ///@}
};

/// The most handles an fd_set holds, as on Windows.
#define FD_SETSIZE 64
/// Winsock's fd_set: a counted array of handles (FD_SET, FD_CLR, FD_ISSET, FD_ZERO).
typedef struct YNetWinFdSet {
    /// As the Windows field of the same name.
    ///@{
    unsigned int fd_count;
    SOCKET fd_array[FD_SETSIZE];
    ///@}
} fd_set;

/// One buffer of the WSA calls, as on Windows.
typedef struct _WSABUF {
    /// As the Windows field of the same name.
    ///@{
    ULONG len;
    char* buf;
    ///@}
} WSABUF, *LPWSABUF;
/// @typedef LPWSABUF
/// A pointer to a WSABUF, as Windows names it.

/// The overlapped types of the WSA calls' declarations (only the synchronous case is served).
///@{
typedef OVERLAPPED WSAOVERLAPPED;
typedef OVERLAPPED* LPWSAOVERLAPPED;
typedef void(CALLBACK* LPWSAOVERLAPPED_COMPLETION_ROUTINE)(DWORD error, DWORD transferred, LPWSAOVERLAPPED overlapped,
                                                           DWORD flags);
///@}

/// WSAAccept's condition function, as Windows declares it (QOS is never given here).
///@{
typedef struct _QualityOfService QOS, *LPQOS;
typedef int(CALLBACK* LPCONDITIONPROC)(LPWSABUF callerId, LPWSABUF callerData, LPQOS sqos, LPQOS gqos,
                                       LPWSABUF calleeId, LPWSABUF calleeData, GROUP* g, DWORD_PTR callbackData);
///@}

/// The sizes of WSAPROTOCOL_INFOA's arrays, as on Windows.
///@{
#define WSAPROTOCOL_LEN 255
#define MAX_PROTOCOL_CHAIN 7
///@}
/// Part of WSAPROTOCOL_INFOA, as Windows declares it.
typedef struct _WSAPROTOCOLCHAIN {
    /// As the Windows field of the same name.
    ///@{
    int ChainLen;
    DWORD ChainEntries[MAX_PROTOCOL_CHAIN];
    ///@}
} WSAPROTOCOLCHAIN;
/// Windows' GUID, for WSAPROTOCOL_INFOA.
typedef struct _GUID {
    /// As the Windows field of the same name.
    ///@{
    ULONG Data1;
    unsigned short Data2;
    unsigned short Data3;
    unsigned char Data4[8];
    ///@}
} GUID;
/// WSASocketA's protocol record, as Windows declares it; a record given is refused here.
typedef struct _WSAPROTOCOL_INFOA {
    /// As the Windows field of the same name.
    ///@{
    DWORD dwServiceFlags1, dwServiceFlags2, dwServiceFlags3, dwServiceFlags4;
    DWORD dwProviderFlags;
    GUID ProviderId;
    DWORD dwCatalogEntryId;
    WSAPROTOCOLCHAIN ProtocolChain;
    int iVersion, iAddressFamily, iMaxSockAddr, iMinSockAddr, iSocketType, iProtocol, iProtocolMaxOffset,
        iNetworkByteOrder, iSecurityScheme;
    DWORD dwMessageSize, dwProviderReserved;
    CHAR szProtocol[WSAPROTOCOL_LEN + 1];
    ///@}
} WSAPROTOCOL_INFOA, *LPWSAPROTOCOL_INFOA;
/// @typedef LPWSAPROTOCOL_INFOA
/// A pointer to a WSAPROTOCOL_INFOA, as Windows names it.

/// WSASocketA's flags, with Windows' values.
///@{
#define WSA_FLAG_OVERLAPPED 0x01
#define WSA_FLAG_NO_HANDLE_INHERIT 0x80
///@}

/// Answers of a WSAAccept condition function.
///@{
#define CF_ACCEPT 0x0000
#define CF_REJECT 0x0001
#define CF_DEFER 0x0002
///@}

/// Winsock's set operations on the counted array.
///@{
YNET_API int WINAPI __WSAFDIsSet(SOCKET s, fd_set* set);
#define FD_ZERO(set) (((fd_set*)(set))->fd_count = 0)
#define FD_ISSET(s, set) __WSAFDIsSet((SOCKET)(s), (fd_set*)(set))
#define FD_SET(s, set) YNetWinFdSetAdd((SOCKET)(s), (fd_set*)(set))
#define FD_CLR(s, set) YNetWinFdSetRemove((SOCKET)(s), (fd_set*)(set))
YNET_API void YNetWinFdSetAdd(SOCKET s, fd_set* set);
YNET_API void YNetWinFdSetRemove(SOCKET s, fd_set* set);
///@}

/// As the Windows functions of the same names. WSAStartup calls are counted: the
/// last WSACleanup closes every socket. The error code is per thread.
///@{
YNET_API int WINAPI WSAStartup(WORD versionRequested, LPWSADATA data);
YNET_API int WINAPI WSACleanup();
YNET_API int WINAPI WSAGetLastError();
YNET_API void WINAPI WSASetLastError(int error);
///@}

/// Sockets are IPv4 TCP or UDP, or IPv6 TCP (sockaddr_in6, 28 bytes). Every socket call before WSAStartup (or
/// after the last WSACleanup, which closes every socket) answers
/// WSANOTINITIALISED.
YNET_API SOCKET WINAPI socket(int family, int type, int protocol);
/// Without protocol record or group; WSA_FLAG_OVERLAPPED is accepted (the
/// socket serves synchronous calls as one of socket() does), a protocol
/// record answers WSAEOPNOTSUPP.
YNET_API SOCKET WINAPI WSASocketA(int family, int type, int protocol, LPWSAPROTOCOL_INFOA info, GROUP group,
                                  DWORD flags);
/// Ends the handle at once. A call blocked on the socket in another thread
/// (recv, accept, send, connect, select) returns SOCKET_ERROR with WSAEINTR
/// (select: the socket reads as ready); the descriptor is closed once no call
/// is left on it. With SO_LINGER on and a zero time the peer is reset.
///@{
YNET_API int WINAPI closesocket(SOCKET s);
///@}
/// As the Windows functions of the same names.
///@{
YNET_API int WINAPI bind(SOCKET s, const struct sockaddr* address, int length);
YNET_API int WINAPI listen(SOCKET s, int backlog);
YNET_API SOCKET WINAPI accept(SOCKET s, struct sockaddr* address, int* length);
///@}
/// The condition function, when given, is called at once with the caller's
/// and the local address: CF_ACCEPT keeps the connection, CF_REJECT closes
/// it and answers WSAECONNREFUSED, CF_DEFER answers WSAEINVAL.
///@{
YNET_API SOCKET WINAPI WSAAccept(SOCKET s, struct sockaddr* address, int* length, LPCONDITIONPROC condition,
                                 DWORD_PTR callbackData);
///@}
/// As the Windows functions of the same names; a blocking call is woken by
/// closesocket or shutdown from another thread.
///@{
YNET_API int WINAPI connect(SOCKET s, const struct sockaddr* address, int length);
YNET_API int WINAPI recv(SOCKET s, char* buffer, int length, int flags);
YNET_API int WINAPI send(SOCKET s, const char* buffer, int length, int flags);
YNET_API int WINAPI recvfrom(SOCKET s, char* buffer, int length, int flags, struct sockaddr* from, int* fromLength);
YNET_API int WINAPI sendto(SOCKET s, const char* buffer, int length, int flags, const struct sockaddr* to,
                           int toLength);
///@}
/// The overlapped variants serve the synchronous case (null overlapped and
/// completion routine); with either given they fail with WSAEOPNOTSUPP.
/// At most 64 buffers per call (more: WSAENOBUFS).
///@{
YNET_API int WINAPI WSARecv(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD received, LPDWORD flags,
                            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);
YNET_API int WINAPI WSARecvFrom(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD received, LPDWORD flags,
                                struct sockaddr* from, int* fromLength, LPWSAOVERLAPPED overlapped,
                                LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);
YNET_API int WINAPI WSASend(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD sent, DWORD flags,
                            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);
YNET_API int WINAPI WSASendTo(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD sent, DWORD flags,
                              const struct sockaddr* to, int toLength, LPWSAOVERLAPPED overlapped,
                              LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);
///@}
/// select ignores its first argument, as Winsock does, and answers the
/// number of handles left in the three sets.
///@{
YNET_API int WINAPI select(int ignored, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet,
                           const struct timeval* timeout);
///@}
/// As the Windows functions of the same names.
///@{
YNET_API int WINAPI setsockopt(SOCKET s, int level, int option, const char* value, int length);
YNET_API int WINAPI getsockopt(SOCKET s, int level, int option, char* value, int* length);
YNET_API int WINAPI shutdown(SOCKET s, int how);
YNET_API int WINAPI getsockname(SOCKET s, struct sockaddr* address, int* length);
YNET_API int WINAPI getpeername(SOCKET s, struct sockaddr* address, int* length);
YNET_API int WINAPI ioctlsocket(SOCKET s, LONG command, ULONG* argument);
///@}

/// SIO_KEEPALIVE_VALS: keepalive on or off, and when on, the idle time
/// before the first probe and the time between probes, in milliseconds
/// (rounded up to whole seconds, the system's unit, at least 1). The probe
/// count is TCP_KEEPCNT's.
#define SIO_KEEPALIVE_VALS ((DWORD)0x98000004)
/// What SIO_KEEPALIVE_VALS takes: on or off, then the two times in milliseconds.
struct tcp_keepalive {
    /// As the Windows field of the same name.
    ///@{
    ULONG onoff;
    ULONG keepalivetime;
    ULONG keepaliveinterval;
    ///@}
};
/// The synchronous case (null overlapped and completion routine) of
/// SIO_KEEPALIVE_VALS, which takes a tcp_keepalive and answers no bytes;
/// any other command answers WSAEINVAL.
YNET_API int WINAPI WSAIoctl(SOCKET s, DWORD command, LPVOID in, DWORD inLength, LPVOID out, DWORD outLength,
                             LPDWORD returned, LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);

/// The system's resolver with Winsock's results: node is a host name or an
/// address literal (AI_NUMERICHOST: a literal only); service null or a
/// decimal port. hints may give the family (AF_UNSPEC, AF_INET, AF_INET6),
/// SOCK_STREAM or 0, and the flags AI_NUMERICHOST, AI_PASSIVE,
/// AI_ADDRCONFIG (the last two change nothing here). Answers 0 with a list
/// that freeaddrinfo frees, or a Winsock code (also WSAGetLastError):
/// WSAHOST_NOT_FOUND for a name that does not exist, WSATRY_AGAIN when no
/// answer came. Blocks for as long as the system's resolver does.
///@{
YNET_API int WINAPI getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                                struct addrinfo** result);
YNET_API void WINAPI freeaddrinfo(struct addrinfo* list);
///@}

/// As the Windows functions of the same names: byte order, and inet_addr's dotted IPv4 text.
///@{
YNET_API unsigned short WINAPI htons(unsigned short value);
YNET_API unsigned short WINAPI ntohs(unsigned short value);
YNET_API ULONG WINAPI htonl(ULONG value);
YNET_API ULONG WINAPI ntohl(ULONG value);
YNET_API ULONG WINAPI inet_addr(const char* text);
///@}

// ---------------------------------------------------------------- windows
/// Window messages, with Windows' numbers.
///@{
#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_TIMER 0x0113
#define WM_USER 0x0400
#define WM_APP 0x8000
///@}

/// PeekMessageA's removeMessage, as on Windows.
///@{
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
///@}
/// Runs the messages sent to the thread and nothing else: posted messages
/// stay queued, and PeekMessageA answers FALSE.
#define PM_QS_SENDMESSAGE (QS_SENDMESSAGE << 16)

/// MsgWaitForMultipleObjects' wake masks, with Windows' values.
///@{
#define QS_POSTMESSAGE 0x0008
#define QS_SENDMESSAGE 0x0040
#define QS_ALLPOSTMESSAGE 0x0100
#define QS_ALLINPUT 0x04FF
///@}

/// The parent of a message-only window, the only kind made here.
#define HWND_MESSAGE ((HWND)(LONG_PTR)-3)

/// A window procedure, as Windows declares it.
typedef LRESULT(CALLBACK* WNDPROC)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

/// A point, as Windows declares it (MSG's pt; always 0 here).
typedef struct tagPOINT {
    /// As the Windows field of the same name.
    ///@{
    LONG x;
    LONG y;
    ///@}
} POINT;

/// A queued message, as Windows declares it.
typedef struct tagMSG {
    /// As the Windows field of the same name.
    ///@{
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
    ///@}
} MSG, *LPMSG;
/// @typedef LPMSG
/// A pointer to a MSG, as Windows names it.

/// What WM_CREATE's lParam points to.
typedef struct tagCREATESTRUCTA {
    /// As the Windows field of the same name.
    ///@{
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCSTR lpszName;
    LPCSTR lpszClass;
    DWORD dwExStyle;
    ///@}
} CREATESTRUCTA, *LPCREATESTRUCTA;
/// @typedef LPCREATESTRUCTA
/// A pointer to a CREATESTRUCTA, as Windows names it.

/// A window class, as RegisterClassA takes it.
typedef struct tagWNDCLASSA {
    /// As the Windows field of the same name.
    ///@{
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
    ///@}
} WNDCLASSA;

/// A window class, as RegisterClassExA takes it.
typedef struct tagWNDCLASSEXA {
    /// As the Windows field of the same name.
    ///@{
    UINT cbSize;
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
    HICON hIconSm;
    ///@}
} WNDCLASSEXA;

/// The program itself for a null name (as on Windows); any other name fails with ERROR_MOD_NOT_FOUND.
YNET_API HMODULE WINAPI GetModuleHandleA(LPCSTR name);
/// The predefined class "STATIC" exists, with DefWindowProcA as its procedure.
///@{
YNET_API ATOM WINAPI RegisterClassA(const WNDCLASSA* windowClass);
YNET_API ATOM WINAPI RegisterClassExA(const WNDCLASSEXA* windowClass);
YNET_API BOOL WINAPI UnregisterClassA(LPCSTR className, HINSTANCE instance);
///@}
/// Only message-only windows (parent HWND_MESSAGE) can be created. A window
/// belongs to the thread that creates it; its messages queue on that thread.
///@{
YNET_API HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                                     LPVOID parameter);
YNET_API BOOL WINAPI DestroyWindow(HWND window);
YNET_API BOOL WINAPI IsWindow(HWND window);
YNET_API LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
///@}
/// Any thread may post; the message lands in the queue of the window's thread.
///@{
YNET_API BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
YNET_API BOOL WINAPI PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
YNET_API void WINAPI PostQuitMessage(int exitCode);
///@}
/// From the window's own thread the window procedure runs at once; from any
/// other thread the call waits until the window's thread has handled the
/// message in one of its GetMessageA / PeekMessageA calls (its
/// MsgWaitForMultipleObjects wakes for it with QS_SENDMESSAGE). While it
/// waits, the sender handles messages sent to its own thread. A window that
/// is destroyed before it handled the message answers 0.
///@{
YNET_API LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
///@}
/// As the Windows functions of the same names, on the calling thread's
/// queue; messages sent to the thread from other threads run inside
/// PeekMessageA and GetMessageA.
///@{
YNET_API BOOL WINAPI PeekMessageA(LPMSG message, HWND window, UINT filterMin, UINT filterMax, UINT removeMessage);
YNET_API BOOL WINAPI GetMessageA(LPMSG message, HWND window, UINT filterMin, UINT filterMax);
YNET_API BOOL WINAPI TranslateMessage(const MSG* message);
YNET_API LRESULT WINAPI DispatchMessageA(const MSG* message);
///@}
/// Waits on the handles and on the calling thread's message queue: answers
/// WAIT_OBJECT_0 + count when input of wakeMask has arrived since the thread
/// last looked at its queue (PeekMessageA / GetMessageA), as on Windows:
/// messages left unread by an earlier look do not wake it. Supports waitAll
/// FALSE only (count 0 included), which is what a message loop needs.
YNET_API DWORD WINAPI MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds,
                                                DWORD wakeMask);
