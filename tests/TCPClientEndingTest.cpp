// TCPClient: the owner's thread ends a client while the receive thread's
// handler sends a window message to that very thread. The ordinary case:
// the user closes the window, and the window deletes its client.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <vector>

#include "client/TCPClient.h"
#include "platform/WinApi.h"
#include "socket/YSocketAddr.h"
#include "support/ClientHarness.h"
#include "support/ScriptedPeer.h"

using namespace YNet2;
using namespace YNetTest;

namespace {

constexpr WPARAM kSentQuery = 42;
// A deadlock never ends by itself: past this the test program stops.
constexpr DWORD kHangMs = 60000;

std::atomic<int> g_SentHandled{0};

LRESULT CALLBACK CountingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kNotifyMsg && wParam == kSentQuery)
        g_SentHandled.fetch_add(1);
    return DefWindowProcA(window, message, wParam, lParam);
}

const char kClassName[] = "YNetEndingTestWindow";

// A message-only window of the test thread that counts the sent queries.
class OwnerWindow {
public:
    OwnerWindow() {
        g_SentHandled = 0;
        WNDCLASSEXA windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = CountingProcedure;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = kClassName;
        RegisterClassExA(&windowClass);
        handle = CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    }
    ~OwnerWindow() {
        if (handle != nullptr)
            DestroyWindow(handle);
        UnregisterClassA(kClassName, GetModuleHandleA(nullptr));
    }
    // The notifications posted to the window and still queued, sorted.
    std::vector<WPARAM> QueuedNotifications() {
        std::vector<WPARAM> queued;
        MSG message;
        while (PeekMessageA(&message, handle, 0, 0, PM_REMOVE)) {
            if (message.message == kNotifyMsg)
                queued.push_back(message.wParam);
        }
        std::sort(queued.begin(), queued.end());
        return queued;
    }
    HWND handle;
};

// Sends a query to the owner's window from inside its message handler.
class SendingWorker : public MsgWorker {
public:
    explicit SendingWorker(HWND window)
        : MsgWorker(window, kNotifyMsg), entered(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~SendingWorker() override { CloseHandle(entered); }
    LONG HandleMessage(void*, int, void*, void*) override {
        SetEvent(entered);
        SendMsg(kSentQuery, 0); // returns once the owner's thread has run it
        sendReturned = true;
        return 0;
    }
    LONG ConnectionCut(void*) override { return 0; }
    LONG ConnectionAccept(void*) override { return 0; }

    HANDLE entered;
    std::atomic<bool> sendReturned{false};
};

// Stops the test program when the guarded step does not end in time: the
// owner and the receive thread would wait for each other for ever.
class Watchdog {
public:
    explicit Watchdog(const char* step)
        : m_Step(step), m_Done(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          m_Thread(CreateThread(nullptr, 0, Watch, this, 0, nullptr)) {}
    ~Watchdog() {
        SetEvent(m_Done);
        WaitForSingleObject(m_Thread, INFINITE);
        CloseHandle(m_Thread);
        CloseHandle(m_Done);
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    static DWORD WINAPI Watch(LPVOID parameter) {
        auto* self = static_cast<Watchdog*>(parameter);
        if (WaitForSingleObject(self->m_Done, kHangMs) != WAIT_OBJECT_0) {
            std::fprintf(stderr,
                         "%s did not end within %lu ms: the owner waits for the receive thread, which "
                         "waits for the owner\n",
                         self->m_Step, static_cast<unsigned long>(kHangMs));
            std::fflush(stderr);
            std::_Exit(3);
        }
        return 0;
    }
    const char* m_Step;
    HANDLE m_Done;
    HANDLE m_Thread;
};

enum class Ending { Destroy, WaitReleaseThenDestroy, ReleaseThenDestroy, DestroyWhileAnotherThreadInits };

void EndWhileTheHandlerSendsToTheOwner(Ending ending, const char* name) {
    OwnerWindow window;
    ASSERT_NE(window.handle, nullptr);
    ScriptedPeer peer;
    ASSERT_TRUE(peer.Listening());
    SendingWorker worker(window.handle);
    auto client = std::make_unique<TCPClient>(&worker);
    YSocketAddr address = peer.Address();
    ASSERT_EQ(client->Init(address), 0);
    ASSERT_TRUE(peer.Accept());
    ASSERT_TRUE(peer.Send(WireMessage(1, 2, {'h', 'i'})));
    // This thread runs nothing while it waits here: the handler stays inside SendMsg.
    ASSERT_EQ(WaitForSingleObject(worker.entered, kWaitMs), WAIT_OBJECT_0);

    {
        Watchdog watchdog(name);
        switch (ending) {
        case Ending::Destroy:
            client.reset();
            break;
        case Ending::WaitReleaseThenDestroy:
            client->Wait_Release();
            EXPECT_TRUE(worker.sendReturned); // the thread has ended
            client.reset();
            break;
        case Ending::ReleaseThenDestroy:
            client->Release();
            client.reset();
            break;
        case Ending::DestroyWhileAnotherThreadInits: {
            // That Init ends the connection and waits for the thread, which
            // waits for this thread to run its message.
            TCPClient* initing = client.get();
            std::future<LONG> init =
                std::async(std::launch::async, [initing, address]() mutable { return initing->Init(address); });
            EXPECT_NE(-1, peer.WaitForEnd());
            client.reset();
            EXPECT_EQ(E_FAIL, init.get());
            break;
        }
        }
    }
    EXPECT_EQ(g_SentHandled.load(), 1);
    EXPECT_TRUE(worker.sendReturned);
    // The posted notifications were left for the window's own loop.
    EXPECT_EQ(window.QueuedNotifications(), (std::vector<WPARAM>{1, 2, 3}));
}

TEST(TCPClientEnding, DestructionRunsTheMessageTheHandlerSendsToTheOwner) {
    EndWhileTheHandlerSendsToTheOwner(Ending::Destroy, "destruction");
}

TEST(TCPClientEnding, WaitReleaseRunsTheMessageTheHandlerSendsToTheOwner) {
    EndWhileTheHandlerSendsToTheOwner(Ending::WaitReleaseThenDestroy, "Wait_Release");
}

TEST(TCPClientEnding, ReleaseAndDestructionRunTheMessageTheHandlerSendsToTheOwner) {
    EndWhileTheHandlerSendsToTheOwner(Ending::ReleaseThenDestroy, "Release and destruction");
}

TEST(TCPClientEnding, DestructionWhileAnotherThreadsInitWaitsRunsTheMessageTheHandlerSendsToTheOwner) {
    EndWhileTheHandlerSendsToTheOwner(Ending::DestroyWhileAnotherThreadInits, "destruction during another Init");
}

} // namespace
