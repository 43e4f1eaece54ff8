// Many connections at once, each with its receive thread on a bounded stack.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "client/TCPClient.h"
#include "support/ClientHarness.h"
#include "support/Loopback.h"
#include "support/ProcessAccount.h"
#include "support/ProcessCounters.h"
#if defined(YNET_HAVE_ECHO_SERVER)
#include "tools/EchoServer.h"

using namespace YNet2;
using namespace YNetTest;

// Half the clients keep the default stack reserve, half ask for 64 KiB; each
// handler measures the stack it runs on. Wine reserves at least 1 MiB, and
// the sanitizers' runtimes enlarge small stacks to about as much.
TEST(ScaleTest, HundredsOfConnectionsOnBoundedStacksAllReceiveAndLeaveNothing) {
    const int count = RunningUnderWine() ? 150 : 400;
    YNet2Tools::EchoOptions options;
    options.extra = YNet2Tools::EchoExtra::HeadOnly; // one message to each connection
    YNet2Tools::EchoServer server(options, nullptr);
    const ProcessCounters before = SampleProcess();
    ASSERT_EQ(server.Start(0), 0);
    std::vector<std::unique_ptr<RecordingWorker>> workers;
    std::vector<std::unique_ptr<TCPClient>> clients;
    std::vector<std::uintptr_t> stacks(static_cast<std::size_t>(count));
    sockaddr_in address = LoopbackAddress(server.Port());
    for (int i = 0; i < count; ++i) {
        workers.push_back(std::make_unique<RecordingWorker>());
        workers.back()->onMessage = [&stacks, i](const unsigned char*, int, void*) {
            std::uintptr_t low = 0, top = 0;
            BenchNet::ThreadStackExtent(&low, &low, &top);
            stacks[static_cast<std::size_t>(i)] = top - low;
            return 0L;
        };
        clients.push_back(std::make_unique<TCPClient>(workers.back().get()));
        if (i % 2 == 1)
            clients.back()->SetStackReserve(64 * 1024);
        ASSERT_EQ(clients.back()->Init(*reinterpret_cast<YSocketAddr*>(&address)), 0) << i;
    }
    for (int i = 0; i < count; ++i)
        ASSERT_TRUE(workers[static_cast<std::size_t>(i)]->WaitForMessages(1)) << i;
    for (auto& client : clients)
        client->Wait_Release();
    for (int i = 0; i < count; ++i) { // read once the threads have ended
        const std::uintptr_t reserve = kSlowBuild ? 1024 * 1024 : i % 2 == 1 ? 64 * 1024 : 128 * 1024;
        EXPECT_LE(stacks[static_cast<std::size_t>(i)], reserve) << i;
        EXPECT_GT(stacks[static_cast<std::size_t>(i)], 0u) << i;
    }
    clients.clear();
    server.Stop();
    EXPECT_TRUE(WaitForThreadsAtMost(before.threads, kWaitMs)); // the server's threads too
    EXPECT_LE(SampleProcess().descriptors, before.descriptors + DescriptorNoise());
}
#endif
