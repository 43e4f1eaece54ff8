// A signal that interrupts a blocked socket call is no failure: the layer
// retries the system call, as Winsock knows no EINTR.
#include <gtest/gtest.h>

#include <signal.h>

#include <thread>

#include "platform/WinApi.h"
#include "support/Loopback.h"

namespace {

constexpr DWORD kBoundedWait = 10000;

void Ignore(int) {}

// Installs a handler without SA_RESTART, so that the signal does interrupt
// the system call; restores the old one at the end.
class InterruptingSignal {
public:
    InterruptingSignal() {
        struct sigaction action {};
        action.sa_handler = Ignore;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(SIGUSR1, &action, &m_Old);
    }
    ~InterruptingSignal() { sigaction(SIGUSR1, &m_Old, nullptr); }

private:
    struct sigaction m_Old;
};

enum class Call { Receive, Select };

TEST(PosixInterrupt, InterruptedReceiveAndSelectGoOnWaiting) {
    InterruptingSignal installed;
    for (Call call : {Call::Receive, Call::Select}) {
        SOCKET client, server;
        ASSERT_TRUE(YNetTest::MakeConnectedPair(&client, &server));
        HANDLE entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        int result = 0;
        std::thread waiter([&] {
            SetEvent(entered);
            if (call == Call::Receive) {
                char buffer[4];
                result = recv(client, buffer, sizeof(buffer), MSG_WAITALL);
            } else {
                fd_set readable;
                FD_ZERO(&readable);
                FD_SET(client, &readable);
                timeval timeout{10, 0};
                result = select(0, &readable, nullptr, nullptr, &timeout);
            }
            SetEvent(done);
        });
        ASSERT_EQ(WaitForSingleObject(entered, kBoundedWait), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(done, 100), WAIT_TIMEOUT); // blocked
        for (int i = 0; i < 3; ++i)
            pthread_kill(waiter.native_handle(), SIGUSR1);
        EXPECT_EQ(WaitForSingleObject(done, 100), WAIT_TIMEOUT); // still blocked
        EXPECT_EQ(send(server, "abcd", 4, 0), 4);
        EXPECT_EQ(WaitForSingleObject(done, kBoundedWait), WAIT_OBJECT_0);
        waiter.join();
        EXPECT_EQ(result, call == Call::Receive ? 4 : 1);
        CloseHandle(entered);
        CloseHandle(done);
        closesocket(client);
        closesocket(server);
    }
}

} // namespace
