// The POSIX layer's kernel handles and the parts of the kernel API it
// refuses on purpose.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/WinApi.h"
#include "support/ProcessCounters.h"

namespace {

std::uintptr_t Value(HANDLE handle) {
    return reinterpret_cast<std::uintptr_t>(handle);
}

TEST(PosixKernelObjects, HandlesAreSmallAndNotGivenAgainSoon) {
    std::vector<std::uintptr_t> seen;
    for (int i = 0; i < 2000; ++i) {
        HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(Value(event) % 4, 0u);
        EXPECT_LT(Value(event), 0x80000000u); // a DWORD carries it, sign extension keeps it
        seen.push_back(Value(event));
        ASSERT_TRUE(CloseHandle(event));
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
}

DWORD WINAPI Nothing(LPVOID) {
    return 0;
}

TEST(PosixKernelObjects, UnofferedFeaturesAreRefused) {
    SetLastError(0);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "Global\\shared"), nullptr); // named events
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    const DWORD kCreateSuspended = 0x4;
    EXPECT_EQ(CreateThread(nullptr, 0, Nothing, nullptr, kCreateSuspended, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, TRUE, 0, QS_ALLINPUT), WAIT_FAILED); // wait for all
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(event);
}

TEST(PosixKernelObjects, ThreadHandleIsNoEvent) {
    HANDLE thread = CreateThread(nullptr, 0, Nothing, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_FALSE(SetEvent(thread));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);
}

// The system's id of the thread: /proc/thread-self links to "PID/task/ID".
DWORD WINAPI NoteSystemId(LPVOID id) {
    std::error_code error;
    *static_cast<std::string*>(id) = std::filesystem::read_symlink("/proc/thread-self", error).filename();
    return 0;
}

// Once its handle is signalled the thread has left the process: a count of
// the process's threads is exact at once.
TEST(PosixKernelObjects, EndedThreadIsNoLongerListedByTheSystem) {
    for (int round = 0; round < 200; ++round) {
        std::string id;
        HANDLE thread = CreateThread(nullptr, 0, NoteSystemId, &id, 0, nullptr);
        ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
        CloseHandle(thread);
        ASSERT_FALSE(id.empty() || std::filesystem::exists("/proc/self/task/" + id)) << "round " << round;
    }
}

// A forked child has its parent's memory but not its threads: its own
// threads end all the same.
TEST(PosixKernelObjects, ThreadsOfAForkedChildEnd) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer ends a forked child that starts a thread";
#endif
    YNetTest::WarmUpThreads(); // the parent's reaper runs
    const pid_t child = fork();
    if (child == 0) {
        alarm(20); // a child stuck in a lock ends
        HANDLE thread = CreateThread(nullptr, 0, Nothing, nullptr, 0, nullptr);
        _exit(WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
}

} // namespace
