// A peer that closes or resets the connection after every byte offset of a
// message - inside the head, inside the body, right after it - for messages
// of several sizes. Every case must end one way: each whole message sent
// before the fault is handed to the worker, nothing cut short ever is, the
// worker is told of the cut once and the receive thread ends; and the
// thousands of cases together leave no descriptor and no thread behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "client/TCPClient.h"
#include "platform/WinApi.h"
#include "support/ClientHarness.h"
#include "support/ConnectedClient.h"
#include "support/ProcessCounters.h"
#include "support/ScriptedPeer.h"

using namespace YNet2;
using namespace YNetTest;

namespace {

using Bytes = std::vector<unsigned char>;

enum class Fault { Close, Reset };

Bytes Body(int length, unsigned char seed) {
    Bytes body(static_cast<size_t>(length));
    for (int i = 0; i < length; ++i)
        body[static_cast<size_t>(i)] = static_cast<unsigned char>(seed + i * 7);
    return body;
}

bool IsReceiveFailureLine(const std::string& line) {
    return line.rfind("TCPClient::RecvMsg() ", 0) == 0 || line.rfind("Yonder3::YSocket::RecvLen(", 0) == 0;
}

// A message as it travels and as the worker must get it.
struct Message {
    Bytes wire;
    Bytes plain;
    Message(BYTE mainID, BYTE assistantID, const Bytes& body)
        : wire(WireMessage(mainID, assistantID, body)), plain(PlainMessage(mainID, assistantID, body)) {}
};

// One case: a whole message, then the first `cut` bytes of the target, then
// the fault. Returns an empty string when the case ended as it must,
// otherwise what went wrong.
std::string RunCase(ScriptedPeer& peer, Fault fault, const Message& before, const Message& target, int cut) {
    LogCapture log;
    RecordingWorker worker;
    OpenClient client(&worker);
    YSocketAddr address = peer.Address();
    if (client.Init(address) != 0 || !peer.Accept())
        return "no connection";
    Bytes partial(target.wire.begin(), target.wire.begin() + cut);
    if (fault == Fault::Close) {
        // All in one write: the client reads the whole message, the partial
        // one and the close together.
        Bytes all = before.wire;
        all.insert(all.end(), partial.begin(), partial.end());
        if (!peer.Send(all))
            return "peer could not send";
        peer.Close();
    } else {
        // A reset may discard what the receiver has not read yet (Windows
        // does), so the whole message is taken before the rest is sent.
        if (!peer.Send(before.wire) || !worker.WaitForMessages(1))
            return "the whole message did not arrive";
        if (cut > 0 && !peer.Send(partial))
            return "peer could not send";
        peer.Reset();
    }
    if (!worker.WaitForEvent("end"))
        return "the receive thread did not end";
    client.Wait_Release();

    bool whole = cut == static_cast<int>(target.wire.size());
    std::vector<std::string> events{"begin", "message"};
    if (whole)
        events.push_back("message");
    events.push_back("cut");
    events.push_back("end");
    if (worker.Events() != events)
        return "events differ from whole messages, one cut, end";
    std::vector<Bytes> messages = worker.Messages();
    if (messages[0] != before.plain || (whole && messages[1] != target.plain))
        return "a message differs from what was sent";
    for (const std::string& line : log.Lines()) {
        if (fault == Fault::Close || !IsReceiveFailureLine(line))
            return "unexpected log line: " + line;
    }
    return "";
}

// Runs every cut of every size; returns the number of cases.
int RunAllCuts(Fault fault) {
    ScriptedPeer peer;
    EXPECT_TRUE(peer.Listening());
    const Message before(5, 6, Body(5, 0x30));
    int cases = 0;
    for (int size : {4, 5, 12, 100, 1440}) {
        const Message target(9, static_cast<BYTE>(size), Body(size - 4, 0x61));
        // A reset right after a whole message is the cut at 0 of the next.
        int last = fault == Fault::Close ? size : size - 1;
        for (int cut = 0; cut <= last; ++cut) {
            std::string failure = RunCase(peer, fault, before, target, cut);
            ++cases;
            if (!failure.empty()) {
                ADD_FAILURE() << "message of " << size << " bytes cut after " << cut << " bytes: " << failure;
                return cases;
            }
        }
    }
    return cases;
}

// A connection made and ended before a baseline is sampled: threads the
// process starts once (a sanitizer's own) are then in the baseline.
void WarmUp() {
    Connected c;
    if (c.Start())
        c.client.Wait_Release();
}

void ExpectNothingLeft(const ProcessCounters& before) {
    EXPECT_TRUE(WaitForThreadsAtMost(before.threads, kWaitMs));
    ProcessCounters after = SampleProcess();
    EXPECT_LE(after.descriptors, before.descriptors + DescriptorNoise());
}

TEST(FaultInjectionTest, PeerClosingAfterEveryByteDeliversEveryWholeMessageAndCutsOnce) {
    WarmUp();
    ProcessCounters before = SampleProcess();
    int cases = RunAllCuts(Fault::Close);
    EXPECT_GT(cases, 0);
    std::printf("[ figures  ] %d cases\n", cases);
    ExpectNothingLeft(before);
}

TEST(FaultInjectionTest, PeerResettingAfterEveryByteDeliversEveryWholeMessageAndCutsOnce) {
    WarmUp();
    ProcessCounters before = SampleProcess();
    int cases = RunAllCuts(Fault::Reset);
    EXPECT_GT(cases, 0);
    std::printf("[ figures  ] %d cases\n", cases);
    ExpectNothingLeft(before);
}

} // namespace
