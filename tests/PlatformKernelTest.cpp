// Kernel services of platform/WinApi.h: critical sections, interlocked
// operations, events, threads and waits. Runs against our POSIX layer and
// against the real Windows API alike, so it asserts only what Windows shows.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/WinApi.h"

namespace {

constexpr DWORD kBoundedWait = 10000; // ms; a wait that should end at once

bool FitsInDword(HANDLE handle) {
    auto value = reinterpret_cast<std::uintptr_t>(handle);
    return value != 0 && value <= 0xFFFFFFFFu;
}

struct SectionProbe {
    CRITICAL_SECTION* section;
    BOOL entered;
};

DWORD WINAPI TryEnterFromOtherThread(LPVOID parameter) {
    auto* probe = static_cast<SectionProbe*>(parameter);
    probe->entered = TryEnterCriticalSection(probe->section);
    if (probe->entered)
        LeaveCriticalSection(probe->section);
    return 0;
}

BOOL TryEnterInOtherThread(CRITICAL_SECTION* section) {
    SectionProbe probe{section, -1};
    HANDLE thread = CreateThread(nullptr, 0, TryEnterFromOtherThread, &probe, 0, nullptr);
    EXPECT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, kBoundedWait), WAIT_OBJECT_0);
    CloseHandle(thread);
    return probe.entered;
}

TEST(PlatformKernel, CriticalSectionIsRecursiveAndExcludesOtherThreads) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EXPECT_TRUE(TryEnterCriticalSection(&section)); // the owner enters again
    EXPECT_FALSE(TryEnterInOtherThread(&section));
    LeaveCriticalSection(&section);
    EXPECT_FALSE(TryEnterInOtherThread(&section)); // still held once
    LeaveCriticalSection(&section);
    EXPECT_TRUE(TryEnterInOtherThread(&section));
    DeleteCriticalSection(&section);
}

TEST(PlatformKernel, InterlockedOperationsAnswerAsWindowsDoes) {
    volatile LONG value = 5;
    EXPECT_EQ(InterlockedExchange(&value, 7), 5);           // the old value
    EXPECT_EQ(InterlockedCompareExchange(&value, 9, 1), 7); // no match: unchanged
    EXPECT_EQ(value, 7);
    EXPECT_EQ(InterlockedCompareExchange(&value, 9, 7), 7); // match: replaced
    EXPECT_EQ(value, 9);
    EXPECT_EQ(InterlockedIncrement(&value), 10); // the new value
    EXPECT_EQ(InterlockedDecrement(&value), 9);
    EXPECT_EQ(InterlockedExchangeAdd(&value, 100), 9); // the old value
    EXPECT_EQ(value, 109);
    value = 0x7FFFFFFF;
    EXPECT_EQ(InterlockedIncrement(&value), static_cast<LONG>(0x80000000u)); // wraps
}

DWORD WINAPI CountUp(LPVOID parameter) {
    auto* counter = static_cast<volatile LONG*>(parameter);
    for (int i = 0; i < 100000; ++i)
        InterlockedIncrement(counter);
    return 0;
}

TEST(PlatformKernel, InterlockedIncrementLosesNoCountAcrossThreads) {
    volatile LONG counter = 0;
    HANDLE threads[4];
    for (HANDLE& thread : threads)
        thread = CreateThread(nullptr, 0, CountUp, const_cast<LONG*>(&counter), 0, nullptr);
    for (HANDLE thread : threads) {
        ASSERT_EQ(WaitForSingleObject(thread, kBoundedWait), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    EXPECT_EQ(counter, 400000);
}

TEST(PlatformKernel, AutoResetEventReleasesOneWaitPerSet) {
    HANDLE event = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    ASSERT_TRUE(FitsInDword(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0); // initially set
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // consumed
    EXPECT_TRUE(SetEvent(event));
    EXPECT_TRUE(SetEvent(event)); // a second set does not count twice
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 20), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(event));
}

TEST(PlatformKernel, ManualResetEventStaysSetUntilReset) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(FitsInDword(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(event));
}

TEST(PlatformKernel, ClosedHandleIsRefused) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(event));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

struct GatedThread {
    HANDLE gate;
    DWORD idSeenInside;
    DWORD lastErrorInside;
};

DWORD WINAPI WaitAtGate(LPVOID parameter) {
    auto* state = static_cast<GatedThread*>(parameter);
    state->idSeenInside = GetCurrentThreadId();
    SetLastError(1234);
    if (WaitForSingleObject(state->gate, kBoundedWait) != WAIT_OBJECT_0)
        return 1;
    state->lastErrorInside = GetLastError();
    return 42;
}

TEST(PlatformKernel, ThreadHandleIsSignalledWhenRoutineReturns) {
    GatedThread state{CreateEventA(nullptr, TRUE, FALSE, nullptr), 0, 0};
    SetLastError(77);
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, WaitAtGate, &state, 0, &id);
    ASSERT_TRUE(FitsInDword(thread));
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());

    DWORD exitCode = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &exitCode));
    EXPECT_EQ(exitCode, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);

    SetEvent(state.gate);
    ASSERT_EQ(WaitForSingleObject(thread, kBoundedWait), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0); // stays signalled
    EXPECT_TRUE(GetExitCodeThread(thread, &exitCode));
    EXPECT_EQ(exitCode, 42u);
    EXPECT_EQ(state.idSeenInside, id);
    EXPECT_EQ(state.lastErrorInside, 1234u); // the error slot is per thread
    EXPECT_EQ(GetLastError(), 77u);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_TRUE(CloseHandle(state.gate));
}

#ifndef _WIN32
// The POSIX layer's promise; on Windows the system keeps it, and the C++
// runtime's thread-locals there are not ours to test.
// Holds its thread's end in a thread-local's destructor: tells so on
// gates[0], then waits for gates[1].
DWORD WINAPI HoldEndAtGates(LPVOID gates) {
    thread_local struct Held {
        HANDLE* gates;
        ~Held() {
            SetEvent(gates[0]);
            WaitForSingleObject(gates[1], kBoundedWait);
        }
    } held{static_cast<HANDLE*>(gates)};
    return 42;
}

// A thread whose thread-locals are still being destroyed has not ended.
TEST(PlatformKernel, ThreadEndsOnlyOnceItsThreadLocalsAreDestroyed) {
    HANDLE gates[2] = {CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    HANDLE thread = CreateThread(nullptr, 0, HoldEndAtGates, gates, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(gates[0], kBoundedWait), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(GetExitCodeThread(thread, &exitCode) && exitCode == STILL_ACTIVE);
    SetEvent(gates[1]);
    ASSERT_EQ(WaitForSingleObject(thread, kBoundedWait), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(thread, &exitCode) && exitCode == 42);
    for (HANDLE handle : {thread, gates[0], gates[1]})
        EXPECT_TRUE(CloseHandle(handle));
}
#endif

// A handle opened by the thread's id waits for that very thread, also once
// CreateThread's handle is closed; an id of no thread is refused.
TEST(PlatformKernel, OpenThreadByIdWaitsForThatThread) {
    GatedThread state{CreateEventA(nullptr, TRUE, FALSE, nullptr), 0, 0};
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, WaitAtGate, &state, 0, &id);
    ASSERT_TRUE(FitsInDword(thread));
    HANDLE opened = OpenThread(SYNCHRONIZE, FALSE, id);
    ASSERT_TRUE(FitsInDword(opened));
    EXPECT_NE(opened, thread);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_EQ(WaitForSingleObject(opened, 0), WAIT_TIMEOUT);
    SetEvent(state.gate);
    EXPECT_EQ(WaitForSingleObject(opened, kBoundedWait), WAIT_OBJECT_0);
    EXPECT_EQ(state.idSeenInside, id);
    EXPECT_TRUE(CloseHandle(opened));
    EXPECT_TRUE(CloseHandle(state.gate));

    SetLastError(0);
    EXPECT_EQ(OpenThread(SYNCHRONIZE, FALSE, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(PlatformKernel, SleepLetsTheTickCountAdvance) {
    DWORD before = GetTickCount();
    Sleep(50);
    DWORD elapsed = GetTickCount() - before;
    EXPECT_GE(elapsed, 30u); // tick granularity on Windows is about 16 ms
}

} // namespace
