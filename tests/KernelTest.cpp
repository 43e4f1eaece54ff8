// The kernel interface and the message worker: notifications read back from
// a real message-only window, and the order of the virtual operations.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "client/ClientNetKernel.h"
#include "client/MsgWorker.h"
#include "client/NetKernel.h"
#include "client/SendStream.h"
#include "client/ServiceNetKernel.h"
#include "client/TCPClient.h"
#include "platform/WinApi.h"

using namespace YNet2;

namespace {

constexpr DWORD kBoundMs = 10000;
constexpr UINT kNotify = WM_APP + 17;

struct Delivery {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD threadId;
};

// A message-only window owned by the creating thread. Its procedure records
// every message of the notification range it handles, posted or sent.
class MessageWindow {
public:
    MessageWindow() {
        static const ATOM registered = Register();
        (void)registered;
        m_Window =
            CreateWindowExA(0, kClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr), nullptr);
        s_Current = this;
    }
    ~MessageWindow() {
        if (m_Window != nullptr)
            DestroyWindow(m_Window);
        Pump(); // drop whatever is left in the queue
        s_Current = nullptr;
    }
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;

    HWND Handle() const { return m_Window; }
    const std::vector<Delivery>& Deliveries() const { return m_Deliveries; }

    // Handles this thread's messages until count deliveries were recorded or
    // the bound passed; true when they were.
    bool WaitFor(size_t count, DWORD milliseconds = kBoundMs) {
        return PumpUntil([&] { return m_Deliveries.size() >= count; }, milliseconds);
    }

    template <typename Done> bool PumpUntil(Done done, DWORD milliseconds = kBoundMs) {
        DWORD start = GetTickCount();
        for (;;) {
            Pump();
            if (done())
                return true;
            DWORD elapsed = GetTickCount() - start;
            if (elapsed >= milliseconds)
                return false;
            // Short slices: a sender on another thread also counts as done().
            MsgWaitForMultipleObjects(0, nullptr, FALSE, std::min<DWORD>(milliseconds - elapsed, 20), QS_ALLINPUT);
        }
    }

    void Pump() {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
    }

private:
    static constexpr const char* kClass = "YNetKernelTestWindow";

    static ATOM Register() {
        WNDCLASSA windowClass;
        std::memset(&windowClass, 0, sizeof(windowClass));
        windowClass.lpfnWndProc = &MessageWindow::Procedure;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = kClass;
        return RegisterClassA(&windowClass);
    }

    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        MessageWindow* self = s_Current;
        if (self != nullptr && window == self->m_Window && message >= WM_APP) {
            self->m_Deliveries.push_back({message, wParam, lParam, GetCurrentThreadId()});
            return 0;
        }
        return DefWindowProcA(window, message, wParam, lParam);
    }

    static inline MessageWindow* s_Current = nullptr; // the procedure runs on the window's thread only
    HWND m_Window = nullptr;
    std::vector<Delivery> m_Deliveries;
};

class TestWorker final : public MsgWorker {
public:
    TestWorker(HWND window, ULONG message) : MsgWorker(window, message) {}
    using MsgWorker::SendMsg;
    HWND Window() const { return m_Window; }
    ULONG MsgID() const { return m_MsgID; }

    LONG HandleMessage(void*, int, void*, void*) override { return 0; }
    LONG ConnectionCut(void*) override { return 0; }
    LONG ConnectionAccept(void*) override { return 0; }
};

} // namespace

// ---------------------------------------------------------------- worker

TEST(KernelWorker, WithoutWindowNothingIsPostedOrSent) {
    TestWorker worker(nullptr, kNotify);
    EXPECT_FALSE(worker.PostMsg(1, 0));
    worker.SendMsg(2, 0); // does nothing, and returns
    EXPECT_EQ(0, worker.MsgThreadBegin(nullptr));
}

TEST(KernelWorker, PostMsgReachesTheWindowWithNumberAndParameters) {
    MessageWindow window;
    ASSERT_NE(nullptr, window.Handle());
    TestWorker worker(window.Handle(), kNotify);
    EXPECT_TRUE(worker.PostMsg(1, 0));
    EXPECT_TRUE(worker.PostMsg(3, 77));
    ASSERT_TRUE(window.WaitFor(2));
    const std::vector<Delivery>& got = window.Deliveries();
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(kNotify, got[0].message);
    EXPECT_EQ(1u, got[0].wParam);
    EXPECT_EQ(0, got[0].lParam);
    EXPECT_EQ(kNotify, got[1].message);
    EXPECT_EQ(3u, got[1].wParam);
    EXPECT_EQ(77, got[1].lParam);
}

TEST(KernelWorker, PostMsgFromAnotherThreadLandsOnTheWindowThread) {
    MessageWindow window;
    TestWorker worker(window.Handle(), kNotify);
    std::atomic<bool> posted{false};
    std::thread poster([&] { posted = worker.PostMsg(2, 0); });
    poster.join();
    EXPECT_TRUE(posted.load());
    ASSERT_TRUE(window.WaitFor(1));
    EXPECT_EQ(2u, window.Deliveries()[0].wParam);
    EXPECT_EQ(GetCurrentThreadId(), window.Deliveries()[0].threadId);
}

TEST(KernelWorker, CopiesPostToTheSameWindowWithTheSameNumber) {
    MessageWindow window;
    TestWorker worker(window.Handle(), kNotify);
    TestWorker copy(worker);
    TestWorker assigned(nullptr, 0);
    assigned = worker;
    EXPECT_EQ(window.Handle(), assigned.Window());
    EXPECT_EQ(kNotify, assigned.MsgID());
    EXPECT_TRUE(copy.PostMsg(5, 0));
    EXPECT_TRUE(assigned.PostMsg(6, 0));
    ASSERT_TRUE(window.WaitFor(2));
    EXPECT_EQ(kNotify, window.Deliveries()[0].message);
    EXPECT_EQ(5u, window.Deliveries()[0].wParam);
    EXPECT_EQ(kNotify, window.Deliveries()[1].message);
    EXPECT_EQ(6u, window.Deliveries()[1].wParam);
}

TEST(KernelWorker, PostMsgToADestroyedWindowFails) {
    HWND gone;
    {
        MessageWindow window;
        gone = window.Handle();
    }
    TestWorker worker(gone, kNotify);
    EXPECT_FALSE(worker.PostMsg(1, 0));
}

TEST(KernelWorker, SendMsgFromAnotherThreadReturnsAfterTheWindowHandledIt) {
    MessageWindow window;
    TestWorker worker(window.Handle(), kNotify);
    // The sender holds its own copies: it may outlive this test if SendMsg never returns.
    struct State {
        std::atomic<bool> returned{false};
        std::atomic<size_t> seenOnReturn{0};
    };
    auto state = std::make_shared<State>();
    std::thread sender([state, worker]() mutable {
        worker.SendMsg(9, 4);
        state->returned = true;
    });
    bool returned = window.PumpUntil([&] { return state->returned.load(); });
    if (!returned) {
        sender.detach();
        FAIL() << "SendMsg did not return";
    }
    sender.join();
    ASSERT_EQ(1u, window.Deliveries().size()); // handled before the sender went on
    EXPECT_EQ(kNotify, window.Deliveries()[0].message);
    EXPECT_EQ(9u, window.Deliveries()[0].wParam);
    EXPECT_EQ(4, window.Deliveries()[0].lParam);
    EXPECT_EQ(GetCurrentThreadId(), window.Deliveries()[0].threadId);
}

// ---------------------------------------------------------------- kernels

namespace {

// A kernel that is its own connection, with the thread body of the base.
class EchoKernel final : public ClientNetKernel {
public:
    int SendMsg(void* connection, void*, int length) override {
        lastConnection = connection;
        return length;
    }
    LONG Error(void*, LONG code, const char*) override { return code; }
    void SetData(void*, void* data) override { m_Data = data; }
    void* GetData(void*) override { return m_Data; }

    std::atomic<int> runs{0};
    void* lastConnection = reinterpret_cast<void*>(1);

protected:
    LONG Run(void*) override {
        ++runs;
        CleanUp();
        return 0;
    }

private:
    void* m_Data = nullptr;
};

} // namespace

TEST(KernelInterface, CallsThroughTheBaseReachTheKernel) {
    EchoKernel kernel;
    NetKernel* base = &kernel;
    int data = 0;
    EXPECT_EQ(12, base->SendMsg(nullptr, &data, 12));
    EXPECT_EQ(nullptr, kernel.lastConnection);
    EXPECT_EQ(E_FAIL, base->Error(nullptr, E_FAIL, "x"));
    base->SetData(nullptr, &data);
    EXPECT_EQ(&data, base->GetData(nullptr));

    ASSERT_EQ(0, base->CreateThread(0, nullptr, nullptr, 0)); // runs the kernel's own Run
    base->WaitForExitThread();
    EXPECT_EQ(1, kernel.runs.load());
}

TEST(KernelInterface, SendStreamAssignmentCopiesBothWords) {
    SendStream source;
    source.m_Word1 = 0x11223344u;
    source.m_Word2 = 0xA0B0C0D0u;
    SendStream target;
    SendStream& result = (target = source);
    EXPECT_EQ(&target, &result);
    EXPECT_EQ(0x11223344u, target.m_Word1);
    EXPECT_EQ(0xA0B0C0D0u, target.m_Word2);
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
// The order of the virtual operations is part of the interface. Under the
// Itanium C++ ABI (GCC and Clang, MinGW included) a pointer to a virtual
// member function holds 1 + the byte offset of its slot, and a virtual
// destructor takes two slots where it is declared.
namespace {
template <typename Member> std::size_t SlotOf(Member member) {
    struct {
        std::uintptr_t ptr;
        std::ptrdiff_t adj;
    } raw;
    static_assert(sizeof(raw) == sizeof(member));
    std::memcpy(&raw, &member, sizeof(raw));
    return (raw.ptr - 1) / sizeof(void*);
}
} // namespace

TEST(KernelInterface, VirtualOperationsKeepTheirSlots) {
    // [0] destructor (two entries), then the table's slots [1]..[6].
    EXPECT_EQ(2u, SlotOf(&NetKernel::Run));
    EXPECT_EQ(3u, SlotOf(&NetKernel::CreateThread));
    EXPECT_EQ(4u, SlotOf(&NetKernel::SendMsg));
    EXPECT_EQ(5u, SlotOf(&NetKernel::Error));
    EXPECT_EQ(6u, SlotOf(&NetKernel::SetData));
    EXPECT_EQ(7u, SlotOf(&NetKernel::GetData));
    EXPECT_EQ(4u, SlotOf(&ClientNetKernel::SendMsg));
    EXPECT_EQ(7u, SlotOf(&ServiceNetKernel::GetData));
    // TCPClient keeps the kernel's slots and declares HandleMessage in [7].
    EXPECT_EQ(2u, SlotOf(&TCPClient::Run));
    EXPECT_EQ(4u, SlotOf(&TCPClient::SendMsg));
    EXPECT_EQ(7u, SlotOf(&TCPClient::GetData));
    EXPECT_EQ(8u, SlotOf(&TCPClient::HandleMessage));

    EXPECT_EQ(0u, SlotOf(&MsgWorker::HandleMessage));
    EXPECT_EQ(1u, SlotOf(&MsgWorker::ConnectionCut));
    EXPECT_EQ(2u, SlotOf(&MsgWorker::ConnectionAccept));
    EXPECT_EQ(3u, SlotOf(&MsgWorker::MsgThreadBegin));
    EXPECT_EQ(4u, SlotOf(&MsgWorker::MsgThreadEnd));
    EXPECT_EQ(5u, SlotOf(&MsgWorker::TimerFunc));
}
#endif
