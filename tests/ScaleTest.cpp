// Many connections at once, each with its receive thread on a bounded stack.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "client/TCPClient.h"
#include "support/ClientHarness.h"
#include "support/Loopback.h"
#include "support/ProcessAccount.h"
#include "support/ProcessCounters.h"
#if defined(YNET_HAVE_ECHO_SERVER)
#include "tools/EchoServer.h"

using namespace YNetTest;

// Odd clients ask for 64 KiB of stack, even ones keep the default (128 KiB);
// each handler measures its stack. Wine and the sanitizers' runtimes
// enlarge small stacks (to 1 MiB at most).
TEST(ScaleTest, HundredsOfConnectionsOnBoundedStacksAllReceiveAndLeaveNothing) {
    YNet2Tools::EchoOptions options;
    options.extra = YNet2Tools::EchoExtra::HeadOnly; // one message to each connection
    YNet2Tools::EchoServer server(options, nullptr);
    WarmUpThreads();
    const ProcessCounters before = SampleProcess();
    ASSERT_EQ(server.Start(0), 0);
    sockaddr_in address = LoopbackAddress(server.Port());
    std::vector<std::uintptr_t> stacks(RunningUnderWine() ? 150 : 400);
    std::vector<std::unique_ptr<RecordingWorker>> workers;
    std::vector<std::unique_ptr<YNet2::TCPClient>> clients;
    for (std::size_t i = 0; i < stacks.size(); ++i) {
        workers.push_back(std::make_unique<RecordingWorker>());
        workers[i]->onMessage = [&stacks, i](const unsigned char*, int, void*) {
            std::uintptr_t low = 0, top = 0;
            BenchNet::ThreadStackExtent(&low, &low, &top);
            stacks[i] = top - low;
            return 0L;
        };
        clients.push_back(std::make_unique<YNet2::TCPClient>(workers[i].get()));
        clients[i]->SetStackReserve(i % 2 == 1 ? 64 * 1024 : 0);
        ASSERT_EQ(clients[i]->Init(*reinterpret_cast<YNet2::YSocketAddr*>(&address)), 0) << i;
    }
    for (std::size_t i = 0; i < stacks.size(); ++i)
        ASSERT_TRUE(workers[i]->WaitForMessages(1)) << i;
    for (std::size_t i = 0; i < stacks.size(); ++i) {
        clients[i]->Wait_Release(); // its stack is read once its thread has ended
        const std::uintptr_t bound = kSlowBuild ? 1024 * 1024 : i % 2 == 1 ? 64 * 1024 : 128 * 1024;
        EXPECT_TRUE(stacks[i] > 0 && stacks[i] <= bound) << i << ": " << stacks[i];
    }
    clients.clear();
    server.Stop();
    EXPECT_TRUE(WaitForThreadsAtMost(before.threads, kWaitMs)); // the server's threads too
    EXPECT_LE(SampleProcess().descriptors, before.descriptors + DescriptorNoise());
}
#endif
