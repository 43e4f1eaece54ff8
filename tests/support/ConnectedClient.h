// Internal header. A TCPClient that shows tests its protected parts, and such
// a client connected to a scripted peer with a recording worker.
#pragma once

#include "client/TCPClient.h"
#include "platform/WinApi.h"
#include "socket/YSocketAddr.h"
#include "support/ClientHarness.h"
#include "support/ScriptedPeer.h"

namespace YNetTest {

// Exposes the protected parts a test needs to see.
class OpenClient : public YNet2::TCPClient {
public:
    // A derived class ends the receive thread before its own part is destroyed.
    ~OpenClient() override { EndReceiveThread(); }
    using YNet2::TCPClient::HasBufferedMessage;
    using YNet2::TCPClient::IsInited;
    using YNet2::TCPClient::ReadAheadSize;
    using YNet2::TCPClient::TCPClient;
};

// A connected client and the peer's end of it.
struct Connected {
    ScriptedPeer peer;
    RecordingWorker worker;
    OpenClient client{&worker};

    explicit Connected(HWND window = nullptr) : worker(window) {}
    // Connects and accepts; the receive thread has begun when it returns true.
    bool Start() {
        YNet2::YSocketAddr address = peer.Address();
        return peer.Listening() && client.Init(address) == 0 && peer.Accept() && worker.WaitForEvent("begin");
    }
};

} // namespace YNetTest
