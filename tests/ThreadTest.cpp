// YThread: the thread base of every connection kernel.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>

#include "framework/YThread.h"
#include "platform/WinApi.h"

using namespace YNet2;

namespace {

constexpr auto kBound = std::chrono::seconds(10);
constexpr DWORD kBoundMs = 10000;

HANDLE AsHandle(DWORD word) {
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(static_cast<LONG>(word)));
}

// What a thread body saw, kept outside the thread object so that copies of
// the object share it. The thread holds a reference until its last
// instruction, so a test may drop its own as soon as it has its answers.
struct Report {
    std::promise<void> started;
    std::promise<void> cleanedUp; // set after CleanUp: the object is no longer touched
    void* param = nullptr;
    DWORD runThreadId = 0;
    bool ownThreadInRun = false;
    bool exitBeforeAsked = true;
    bool eventSignalled = false;
    bool exitAfterAsked = false;
    bool workAfterWait = false;

    bool Started() { return started.get_future().wait_for(kBound) == std::future_status::ready; }
    bool CleanedUp() { return cleanedUp.get_future().wait_for(kBound) == std::future_status::ready; }
};

// A thread body that reports what it saw, waits until it is asked to end
// and ends with CleanUp, as a receive thread does.
class Probe : public YThread {
public:
    explicit Probe(std::shared_ptr<Report> report) : m_Report(std::move(report)) {}
    using YThread::CleanUp;
    DWORD ThreadWord() const { return m_Thread; }
    DWORD ExitEventWord() const { return m_ExitEvent; }

protected:
    LONG Run(void* argument) override {
        std::shared_ptr<Report> report = m_Report;
        report->param = argument;
        report->runThreadId = GetCurrentThreadId();
        report->ownThreadInRun = IsOwnThread();
        report->exitBeforeAsked = ICanExit();
        report->started.set_value();
        report->eventSignalled = WaitForSingleObject(AsHandle(m_ExitEvent), kBoundMs) == WAIT_OBJECT_0;
        // A loop asks once per pass; the event set directly is seen within 1024 passes.
        for (int pass = 0; pass < 1025 && !report->exitAfterAsked; ++pass)
            report->exitAfterAsked = ICanExit();
        report->workAfterWait = true;
        CleanUp();
        report->cleanedUp.set_value();
        return 0;
    }

private:
    std::shared_ptr<Report> m_Report;
};

DWORD WINAPI AddParameter(LPVOID argument);
std::atomic<int> g_RoutineSum{0};
DWORD WINAPI AddParameter(LPVOID argument) {
    g_RoutineSum += *static_cast<int*>(argument);
    return 0;
}

} // namespace

TEST(Thread, RunExecutesOnTheNewThreadWithItsParameter) {
    auto report = std::make_shared<Report>();
    Probe probe(report);
    int value = 7;
    ASSERT_EQ(0, probe.CreateThread(0, nullptr, &value, 0));
    ASSERT_TRUE(report->Started());
    EXPECT_NE(0u, probe.ThreadWord());
    EXPECT_NE(0u, probe.ExitEventWord());
    EXPECT_FALSE(probe.IsOwnThread());
    probe.WaitForExitThread();
    EXPECT_EQ(&value, report->param);
    EXPECT_NE(GetCurrentThreadId(), report->runThreadId);
    EXPECT_TRUE(report->ownThreadInRun);
    EXPECT_FALSE(report->exitBeforeAsked);
}

TEST(Thread, SecondCreateWhileHoldingAThreadFails) {
    auto report = std::make_shared<Report>();
    Probe probe(report);
    ASSERT_EQ(0, probe.CreateThread(0, nullptr, nullptr, 0));
    ASSERT_TRUE(report->Started());
    DWORD held = probe.ThreadWord();
    EXPECT_EQ(E_FAIL, probe.CreateThread(0, nullptr, nullptr, 0));
    EXPECT_EQ(held, probe.ThreadWord());
    probe.WaitForExitThread();
}

TEST(Thread, SignalExitSetsTheEventAndICanExit) {
    auto report = std::make_shared<Report>();
    Probe probe(report);
    ASSERT_EQ(0, probe.CreateThread(0, nullptr, nullptr, 0));
    ASSERT_TRUE(report->Started());
    probe.SignalExit();
    ASSERT_TRUE(report->CleanedUp());
    EXPECT_TRUE(report->eventSignalled);
    EXPECT_TRUE(report->exitAfterAsked);
    // The thread's own CleanUp released everything; nothing is left to wait for.
    EXPECT_EQ(0u, probe.ThreadWord());
    EXPECT_EQ(0u, probe.ExitEventWord());
    probe.WaitForExitThread();
}

TEST(Thread, ExitEventSetByADerivedKernelIsSeenByICanExit) {
    auto report = std::make_shared<Report>();
    Probe probe(report);
    ASSERT_EQ(0, probe.CreateThread(0, nullptr, nullptr, 0));
    ASSERT_TRUE(report->Started());
    ASSERT_TRUE(SetEvent(AsHandle(probe.ExitEventWord()))); // as TCPClient::Release asks
    ASSERT_TRUE(report->CleanedUp());
    EXPECT_TRUE(report->eventSignalled);
    EXPECT_TRUE(report->exitAfterAsked);
}

TEST(Thread, WaitForExitThreadReturnsOnlyAfterTheThreadEnded) {
    auto report = std::make_shared<Report>();
    Probe probe(report);
    ASSERT_EQ(0, probe.CreateThread(0, nullptr, nullptr, 0));
    ASSERT_TRUE(report->Started());
    probe.WaitForExitThread(); // asks, then waits
    EXPECT_TRUE(report->eventSignalled);
    EXPECT_TRUE(report->exitAfterAsked);
    EXPECT_TRUE(report->workAfterWait);
    EXPECT_EQ(0u, probe.ThreadWord()); // the waiter released the handles
    EXPECT_EQ(0u, probe.ExitEventWord());
}

TEST(Thread, WaitForExitThreadReturnsAtOnceWithoutAThread) {
    auto unused = std::make_shared<Report>();
    Probe fresh(unused);
    fresh.WaitForExitThread();
    EXPECT_EQ(0u, fresh.ThreadWord());

    auto report = std::make_shared<Report>();
    Probe ended(report);
    ASSERT_EQ(0, ended.CreateThread(0, nullptr, nullptr, 0));
    ASSERT_TRUE(report->Started());
    ended.SignalExit();
    ASSERT_TRUE(report->CleanedUp());
    ended.WaitForExitThread();
    EXPECT_EQ(0u, ended.ThreadWord());
    ended.SignalExit(); // nothing held: does nothing
    ended.CleanUp();    // likewise
    EXPECT_EQ(0u, ended.ExitEventWord());
}

TEST(Thread, ObjectRunsAgainAfterItsThreadEnded) {
    auto first = std::make_shared<Report>();
    Probe probe(first);
    ASSERT_EQ(0, probe.CreateThread(0, nullptr, nullptr, 0));
    ASSERT_TRUE(first->Started());
    probe.WaitForExitThread();

    auto second = std::make_shared<Report>();
    probe = Probe(second); // keeps its own (now empty) thread words...
    ASSERT_EQ(0, probe.CreateThread(0, nullptr, nullptr, 0));
    ASSERT_TRUE(second->Started());
    EXPECT_FALSE(second->exitBeforeAsked); // ...and forgets the first thread's request to end
    probe.WaitForExitThread();
    EXPECT_TRUE(second->eventSignalled);
}

TEST(Thread, CopiesDoNotTakeOverTheThread) {
    auto report = std::make_shared<Report>();
    Probe original(report);
    ASSERT_EQ(0, original.CreateThread(0, nullptr, nullptr, 0));
    ASSERT_TRUE(report->Started());
    DWORD held = original.ThreadWord();
    {
        Probe copy(original);
        EXPECT_EQ(0u, copy.ThreadWord());
        EXPECT_EQ(0u, copy.ExitEventWord());
        EXPECT_FALSE(copy.IsOwnThread());
        copy.WaitForExitThread(); // nothing of its own to wait for
        copy.SignalExit();

        auto other = std::make_shared<Report>();
        Probe assigned(other);
        assigned = original;
        EXPECT_EQ(0u, assigned.ThreadWord());
        original = assigned; // keeps its own thread words
        EXPECT_EQ(held, original.ThreadWord());
    } // destroying the copies leaves the original's thread alone
    EXPECT_EQ(held, original.ThreadWord());
    EXPECT_FALSE(original.ICanExit());
    original.WaitForExitThread();
    EXPECT_TRUE(report->eventSignalled);
    EXPECT_TRUE(report->exitAfterAsked);
}

TEST(Thread, GivenRoutineRunsInsteadOfRun) {
    auto report = std::make_shared<Report>();
    Probe probe(report);
    g_RoutineSum = 0;
    int value = 5;
    ASSERT_EQ(0, probe.CreateThread(0, AddParameter, &value, 0));
    probe.WaitForExitThread(); // the routine does not clean up: the waiter does
    EXPECT_EQ(5, g_RoutineSum.load());
    EXPECT_EQ(0u, probe.ThreadWord());
    EXPECT_EQ(0u, probe.ExitEventWord());
}
