// A machine that runs out: a receive thread that cannot be created ends Init
// the specified way and leaves nothing behind, and the client works again
// once threads can be created. (Running out of descriptors: posix/.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "client/TCPClient.h"
#include "framework/YThreadHook.h"
#include "platform/WinApi.h"
#include "support/ClientHarness.h"
#include "support/ConnectedClient.h"
#include "support/ProcessCounters.h"
#include "support/ScriptedPeer.h"

using namespace YNet2;
using namespace YNetTest;

namespace {

using Bytes = std::vector<unsigned char>;

HANDLE WINAPI NoThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

struct StarterScope {
    explicit StarterScope(YThreadStarter starter) { SetYThreadStarter(starter); }
    ~StarterScope() { SetYThreadStarter(nullptr); }
};

TEST(ExhaustionTest, FailedThreadCreationEndsInitWithItsLineClosesTheSocketAndLeavesNothing) {
    ScriptedPeer peer;
    ASSERT_TRUE(peer.Listening());
    YSocketAddr address = peer.Address();
    NotificationWindow window;
    RecordingWorker worker(window.Handle());
    OpenClient client(&worker);
    ProcessCounters before = SampleProcess();
    {
        LogCapture log;
        StarterScope failing(&NoThread);
        EXPECT_EQ(E_FAIL, client.Init(address));
        EXPECT_EQ((std::vector<std::string>{"TCPClient::Init() Create main thread fail!"}), log.Lines());
    }
    EXPECT_FALSE(client.IsInited());
    EXPECT_TRUE(client.IsSockValid());
    EXPECT_TRUE(worker.Events().empty());
    EXPECT_TRUE(window.Drain().empty()); // "connected" is posted only once the thread exists
    // The connection was made and is gone: the peer sees it end.
    ASSERT_TRUE(peer.Accept());
    EXPECT_NE(-1, peer.WaitForEnd());
    peer.Close();
    EXPECT_LE(SampleProcess().descriptors, before.descriptors + DescriptorNoise()); // socket and exit event closed

    // Threads can be created again: the same client connects and works.
    ASSERT_EQ(0, client.Init(address));
    ASSERT_TRUE(peer.Accept());
    ASSERT_TRUE(peer.Send(WireMessage(1, 2, {'o', 'k'})));
    ASSERT_TRUE(worker.WaitForMessages(1));
    EXPECT_EQ(PlainMessage(1, 2, {'o', 'k'}), worker.Messages()[0]);
    client.Wait_Release();
    std::vector<WPARAM> notifications = window.Collect(3);
    std::sort(notifications.begin(), notifications.end()); // "started" may come before "connected"
    EXPECT_EQ((std::vector<WPARAM>{1, 2, 3}), notifications);
}

} // namespace
