// With the process's descriptor limit reached, a new connection fails the
// specified way (E_FAIL and its log line) and the connections made before
// keep working. The limit is lowered for the test only and restored after.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "client/TCPClient.h"
#include "platform/WinApi.h"
#include "support/ClientHarness.h"
#include "support/ConnectedClient.h"
#include "support/Loopback.h"
#include "tools/EchoServer.h"

using namespace YNet2;
using namespace YNetTest;

namespace {

using Bytes = std::vector<unsigned char>;

// Lowers the soft descriptor limit so that no descriptor is free below it,
// filling the gaps under the highest open descriptor; undoes both when
// destroyed.
class DescriptorsExhausted {
public:
    DescriptorsExhausted() {
        getrlimit(RLIMIT_NOFILE, &m_Saved);
        int highest = 0;
        std::error_code error;
        for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
             it.increment(error))
            highest = std::max(highest, std::atoi(it->path().filename().string().c_str()));
        rlimit lowered = m_Saved;
        lowered.rlim_cur = static_cast<rlim_t>(highest + 1);
        m_Lowered = setrlimit(RLIMIT_NOFILE, &lowered) == 0;
        for (int fd = dup(0); fd >= 0; fd = dup(0))
            m_Fillers.push_back(fd);
    }
    ~DescriptorsExhausted() {
        for (int fd : m_Fillers)
            close(fd);
        setrlimit(RLIMIT_NOFILE, &m_Saved);
    }
    DescriptorsExhausted(const DescriptorsExhausted&) = delete;
    DescriptorsExhausted& operator=(const DescriptorsExhausted&) = delete;

    bool Active() const { return m_Lowered && dup(0) < 0; }

private:
    rlimit m_Saved{};
    bool m_Lowered = false;
    std::vector<int> m_Fillers;
};

TEST(DescriptorLimitTest, InitFailsWithItsLineAtTheLimitAndEarlierConnectionsKeepWorking) {
    YNet2Tools::EchoServer server;
    ASSERT_EQ(0, server.Start());
    YSocketAddr address;
    static_cast<sockaddr_in&>(address) = LoopbackAddress(server.Port());
    struct Client {
        RecordingWorker worker;
        OpenClient client{&worker};
    };
    std::vector<std::unique_ptr<Client>> earlier;
    for (int i = 0; i < 3; ++i) {
        earlier.push_back(std::make_unique<Client>());
        ASSERT_EQ(0, earlier.back()->client.Init(address));
        ASSERT_TRUE(earlier.back()->worker.WaitForEvent("begin"));
    }
    ASSERT_TRUE(server.WaitForAccepted(3, kWaitMs)); // the server's ends exist before the limit
    LogCapture log;
    RecordingWorker worker;
    OpenClient refused(&worker);
    {
        // The same failing path once before the limit: UndefinedBehaviorSanitizer
        // checks each dynamic type on first use with a pipe, which it could
        // not open at the limit.
        YSocketAddr closed = address;
        closed.sin_port = 0;
        EXPECT_EQ(E_FAIL, refused.Init(closed));
    }
    {
        DescriptorsExhausted exhausted;
        ASSERT_TRUE(exhausted.Active());
        EXPECT_EQ(E_FAIL, refused.Init(address));
        // A socket that could not be created shows as a connect on no handle.
        EXPECT_EQ("TCPClient::Init() connect fail(0x2736)!", log.Lines().back());
        EXPECT_FALSE(refused.IsInited());
        EXPECT_TRUE(worker.Events().empty());

        // Still at the limit: every earlier connection sends and receives.
        for (size_t i = 0; i < earlier.size(); ++i) {
            Bytes message = PlainMessage(2, static_cast<BYTE>(i), {'s', 't', 'i', 'l', 'l'});
            ASSERT_EQ(9, earlier[i]->client.SendMsg(nullptr, message.data(), 9));
            ASSERT_TRUE(earlier[i]->worker.WaitForMessages(1));
            EXPECT_EQ(PlainMessage(2, static_cast<BYTE>(i), {'s', 't', 'i', 'l', 'l'}),
                      earlier[i]->worker.Messages()[0]);
        }
    }
    for (auto& c : earlier)
        c->client.Wait_Release();
}

} // namespace
