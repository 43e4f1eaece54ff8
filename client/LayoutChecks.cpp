// Compile-time checks of the layouts that are part of the interface, from
// the wire head up to the worker: everything checked here lies in this
// layer or below it (the thread base is checked in its own layer, in
// framework/LayoutChecks.cpp). The exact sizes hold on every 32-bit build
// (i686 Windows is the shipping target); the relations between fields hold
// on every build.
#include <cstddef>

#include "client/MsgWorker.h"
#include "client/SendStream.h"
#include "message/YNetMsgHead.h"
#include "platform/WinApi.h"
#include "socket/YSocket.h"
#include "socket/YSocketAddr.h"
#include "socket/YSocket_Socks5.h"

// offsetof on a class with virtual operations is conditionally supported;
// GCC and Clang give the offsets these classes really have.
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif

namespace YNet2 {
namespace {

constexpr std::size_t kTable = sizeof(void*); // the table-of-operations pointer
constexpr std::size_t kWord = 4;

struct WorkerFields : MsgWorker {
    static constexpr std::size_t Window() { return offsetof(WorkerFields, m_Window); }
    static constexpr std::size_t MsgID() { return offsetof(WorkerFields, m_MsgID); }
};

constexpr std::size_t RoundUp(std::size_t size, std::size_t alignment) {
    return (size + alignment - 1) / alignment * alignment;
}

// ---- every build
static_assert(sizeof(YNetMsgHead) == 4, "the message head is its 4-byte wire image");
static_assert(sizeof(YSocketAddr) == 16, "the address record is passed to the system with the length 16");
static_assert(sizeof(YSocket) == sizeof(SOCKET) && sizeof(YSocket_Socks5) == sizeof(SOCKET));
static_assert(sizeof(SendStream) == 2 * kWord);

static_assert(WorkerFields::Window() == kTable);
static_assert(WorkerFields::MsgID() == kTable + sizeof(HWND));
static_assert(sizeof(MsgWorker) == RoundUp(kTable + sizeof(HWND) + kWord, alignof(void*)));

// ---- 32-bit builds: the exact layouts of the shipping target
static_assert(sizeof(void*) != 4 || sizeof(MsgWorker) == 12, "table pointer + window + message number");
static_assert(sizeof(void*) != 4 || sizeof(SOCKET) == 4);

} // namespace
} // namespace YNet2
