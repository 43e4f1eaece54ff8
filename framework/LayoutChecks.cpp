// Compile-time checks of the layouts that are part of the interface: the
// wire head, the address record, the thread base read by derived kernels,
// the worker, the socket holders. The exact sizes hold on every 32-bit
// build (i686 Windows is the shipping target); the relations between
// fields hold on every build.
#include <cstddef>

#include "client/MsgWorker.h"
#include "client/SendStream.h"
#include "framework/YThread.h"
#include "message/YNetMsgHead.h"
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

// The thread words are protected: a derived class names them.
struct ThreadWords : YThread {
    static constexpr std::size_t Thread() { return offsetof(ThreadWords, m_Thread); }
    static constexpr std::size_t ExitEvent() { return offsetof(ThreadWords, m_ExitEvent); }
    static constexpr std::size_t Waiting() { return offsetof(ThreadWords, m_Waiting); }
};

struct WorkerFields : MsgWorker {
    static constexpr std::size_t Window() { return offsetof(WorkerFields, m_Window); }
    static constexpr std::size_t MsgID() { return offsetof(WorkerFields, m_MsgID); }
};

constexpr std::size_t RoundUp(std::size_t size, std::size_t alignment) {
    return (size + alignment - 1) / alignment * alignment;
}

// ---- every build
static_assert(sizeof(DWORD) == kWord && sizeof(LONG) == kWord && sizeof(ULONG) == kWord);
static_assert(sizeof(YNetMsgHead) == 4, "the message head is its 4-byte wire image");
static_assert(sizeof(YSocketAddr) == 16, "the address record is passed to the system with the length 16");
static_assert(sizeof(YSocket) == sizeof(SOCKET) && sizeof(YSocket_Socks5) == sizeof(SOCKET));
static_assert(sizeof(SendStream) == 2 * kWord);

static_assert(sizeof(YThread) == RoundUp(kTable + 7 * kWord, alignof(void*)));
static_assert(ThreadWords::Thread() == kTable, "m_Thread is the first thread word");
static_assert(ThreadWords::ExitEvent() == kTable + 5 * kWord, "m_ExitEvent is the sixth thread word");
static_assert(ThreadWords::Waiting() == kTable + 6 * kWord, "seven thread words");

static_assert(WorkerFields::Window() == kTable);
static_assert(WorkerFields::MsgID() == kTable + sizeof(HWND));
static_assert(sizeof(MsgWorker) == RoundUp(kTable + sizeof(HWND) + kWord, alignof(void*)));

// ---- 32-bit builds: the exact layouts of the shipping target
static_assert(sizeof(void*) != 4 || sizeof(YThread) == 32, "table pointer + seven 32-bit words");
static_assert(sizeof(void*) != 4 || ThreadWords::ExitEvent() == 24);
static_assert(sizeof(void*) != 4 || sizeof(MsgWorker) == 12, "table pointer + window + message number");
static_assert(sizeof(void*) != 4 || sizeof(SOCKET) == 4);

} // namespace
} // namespace YNet2
