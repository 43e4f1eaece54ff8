// Compile-time checks of the thread base's layout, part of the interface:
// derived kernels read its words by position. The layouts of the layers
// above (head, address record, sockets, worker) are checked in
// client/LayoutChecks.cpp, where everything they check lies below. The
// exact sizes hold on every 32-bit build (i686 Windows is the shipping
// target); the relations between fields hold on every build.
#include <cstddef>

#include "framework/YThread.h"
#include "platform/WinApi.h"

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

constexpr std::size_t RoundUp(std::size_t size, std::size_t alignment) {
    return (size + alignment - 1) / alignment * alignment;
}

// ---- every build
static_assert(sizeof(DWORD) == kWord && sizeof(LONG) == kWord && sizeof(ULONG) == kWord);
static_assert(sizeof(YThread) == RoundUp(kTable + 7 * kWord, alignof(void*)));
static_assert(ThreadWords::Thread() == kTable, "m_Thread is the first thread word");
static_assert(ThreadWords::ExitEvent() == kTable + 5 * kWord, "m_ExitEvent is the sixth thread word");
static_assert(ThreadWords::Waiting() == kTable + 6 * kWord, "seven thread words");

// ---- 32-bit builds: the exact layout of the shipping target
static_assert(sizeof(void*) != 4 || sizeof(YThread) == 32, "table pointer + seven 32-bit words");
static_assert(sizeof(void*) != 4 || ThreadWords::ExitEvent() == 24);

} // namespace
} // namespace YNet2
