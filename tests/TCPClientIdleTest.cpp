// TCPClient: a receive thread whose socket the owner closed between two
// messages waits for the end request without using the processor.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/TCPClient.h"
#include "platform/WinApi.h"
#include "socket/YSocketAddr.h"
#include "support/ClientHarness.h"
#include "support/ScriptedPeer.h"

using namespace YNet2;
using namespace YNetTest;

namespace {

class ThreadClient : public TCPClient {
public:
    using TCPClient::TCPClient;
    ~ThreadClient() override { EndReceiveThread(); }
    // The receive thread's handle (a kernel handle fits the 32-bit word).
    HANDLE Thread() const { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(static_cast<LONG>(m_Thread))); }
};

// Processor time the thread has used, in milliseconds.
std::uint64_t CpuMs(HANDLE thread) {
    FILETIME creation, exit, kernel, user;
    if (!GetThreadTimes(thread, &creation, &exit, &kernel, &user))
        return UINT64_MAX;
    auto units = [](const FILETIME& time) {
        return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return (units(kernel) + units(user)) / 10000;
}

// A spinning thread uses all the processor it is given (tens of
// milliseconds in half a second even on a loaded machine); a waiting one
// wakes a few times and uses well under a millisecond.
constexpr std::uint64_t kIdleBudgetMs = 20;
constexpr std::uint64_t kBusyMs = 40;

TEST(TCPClientIdle, AfterDisconnectBetweenMessagesTheThreadWaitsWithoutSpinning) {
    // The gate and the event outlive the client, and the gate opens before
    // the client goes (closed is destroyed first): a failed assertion below
    // leaves a handler that can finish, never one blocked on a destroyed
    // mutex while destruction waits for its thread.
    std::mutex gate;
    HANDLE spun = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    RecordingWorker worker;
    auto client = std::make_unique<ThreadClient>(&worker);
    std::unique_lock<std::mutex> closed(gate);
    // The handler first spends processor time it can see (GetThreadTimes
    // counts it), then holds until the owner has closed the socket. Its spin
    // ends before the owner stops waiting for it, however loaded the machine.
    worker.onMessage = [&](const unsigned char*, int, void*) -> LONG {
        for (DWORD start = GetTickCount(); GetTickCount() - start < kWaitMs;) {
            if (CpuMs(client->Thread()) >= kBusyMs)
                break;
        }
        SetEvent(spun);
        std::lock_guard<std::mutex> pass(gate);
        return 0;
    };
    ScriptedPeer peer;
    YSocketAddr address = peer.Address();
    ASSERT_EQ(0, client->Init(address));
    ASSERT_TRUE(peer.Accept());
    ASSERT_TRUE(peer.Send(WireMessage(1, 1, {'h', 'i'})));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(spun, 3 * kWaitMs));
    client->Disconnect(); // the thread then finds no socket, and is not asked to end
    closed.unlock();

    std::uint64_t before = CpuMs(client->Thread());
    Sleep(500);
    std::uint64_t after = CpuMs(client->Thread());
    EXPECT_GE(before, kBusyMs);
    EXPECT_LE(after - before, kIdleBudgetMs) << "the thread used " << after - before << " ms in 500 ms";

    client->Wait_Release();
    CloseHandle(spun);
    EXPECT_EQ((std::vector<std::string>{"begin", "message", "cut", "end"}), worker.Events());
}

} // namespace
