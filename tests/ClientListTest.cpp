// TCPClientList: one kernel forwarding to the connection objects it is given
// and to its worker, driving real connections to the echo server.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/MsgWorker.h"
#include "client/TCPClient.h"
#include "client/TCPClientList.h"
#include "framework/Log.h"
#include "message/YNetMsgHead.h"
#include "platform/WinApi.h"
#include "socket/YSocketAddr.h"
#include "support/LogCapture.h"

#if defined(YNET_HAVE_ECHO_SERVER)
#include "tools/EchoServer.h"
#endif

using namespace YNet2;
using YNetTest::LogCapture;

namespace {

constexpr auto kBound = std::chrono::seconds(10);

struct Received {
    void* connection;
    void* kernel;
    std::string bytes; // head and body as handed to the worker
};

// One worker shared by every connection and list of a test: its callbacks
// run on several receive threads, so it guards its records.
class RecordingWorker final : public MsgWorker {
public:
    RecordingWorker() : MsgWorker(nullptr, WM_APP + 3) {}

    LONG HandleMessage(void* message, int length, void* connection, void* kernel) override {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_Received.push_back({connection, kernel, std::string(static_cast<const char*>(message), length)});
        m_Changed.notify_all();
        return handleResult;
    }
    LONG ConnectionCut(void*) override {
        std::lock_guard<std::mutex> hold(m_Lock);
        ++m_Cuts;
        m_Changed.notify_all();
        return 0;
    }
    LONG ConnectionAccept(void*) override { return 0; }
    LONG MsgThreadBegin(void* kernel) override {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_Begun.push_back(kernel);
        return beginResult;
    }
    void MsgThreadEnd(void* kernel) override {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_Ended.push_back(kernel);
        m_Changed.notify_all();
    }

    bool WaitForMessages(size_t count) {
        std::unique_lock<std::mutex> hold(m_Lock);
        return m_Changed.wait_for(hold, kBound, [&] { return m_Received.size() >= count; });
    }
    bool WaitForEnded(size_t count) {
        std::unique_lock<std::mutex> hold(m_Lock);
        return m_Changed.wait_for(hold, kBound, [&] { return m_Ended.size() >= count; });
    }
    std::vector<Received> Messages() {
        std::lock_guard<std::mutex> hold(m_Lock);
        return m_Received;
    }
    std::vector<void*> Begun() {
        std::lock_guard<std::mutex> hold(m_Lock);
        return m_Begun;
    }
    std::vector<void*> Ended() {
        std::lock_guard<std::mutex> hold(m_Lock);
        return m_Ended;
    }
    int Cuts() {
        std::lock_guard<std::mutex> hold(m_Lock);
        return m_Cuts;
    }

    LONG handleResult = 0;
    LONG beginResult = 0;

private:
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::vector<Received> m_Received;
    std::vector<void*> m_Begun;
    std::vector<void*> m_Ended;
    int m_Cuts = 0;
};

// The list's worker operations are for derived lists: this one exposes them.
class OpenList final : public TCPClientList {
public:
    using TCPClientList::HandleMessage;
    using TCPClientList::MsgThreadBegin;
    using TCPClientList::MsgThreadEnd;
    using TCPClientList::TCPClientList;
    MsgWorker* Worker() const { return m_Worker; }
};

// A whole message (head, then body) with main ID 1 and the request flag.
std::string Message(BYTE assistantID, const std::string& body) {
    std::string bytes(YNetMsgHead::HeadSize + body.size(), '\0');
    YNetMsgHead head;
    head.SetHead(static_cast<WORD>(bytes.size()), 1, assistantID, true, false, false);
    std::memcpy(&bytes[0], &head, sizeof(head));
    std::memcpy(&bytes[YNetMsgHead::HeadSize], body.data(), body.size());
    return bytes;
}

} // namespace

// ---------------------------------------------------------------- forwarding, no network

TEST(ClientList, MessageOperationsReachTheOneSharedWorker) {
    RecordingWorker worker;
    OpenList first(&worker);
    OpenList second(&worker);
    OpenList copy(first);
    EXPECT_EQ(&worker, copy.Worker());

    char message[] = "\x06\x00\x05\x07hi";
    int connection = 0;
    worker.handleResult = 5;
    EXPECT_EQ(5, first.HandleMessage(message, 6, &connection, &first));
    worker.handleResult = 0;
    EXPECT_EQ(0, second.HandleMessage(message, 6, nullptr, &second));
    worker.beginResult = 9;
    EXPECT_EQ(9, first.MsgThreadBegin(&second));
    second.MsgThreadEnd(&first);

    std::vector<Received> got = worker.Messages();
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(&connection, got[0].connection);
    EXPECT_EQ(&first, got[0].kernel);
    EXPECT_EQ(std::string(message, 6), got[0].bytes);
    EXPECT_EQ(nullptr, got[1].connection);
    EXPECT_EQ(&second, got[1].kernel);
    EXPECT_EQ(std::vector<void*>{&second}, worker.Begun());
    EXPECT_EQ(std::vector<void*>{&first}, worker.Ended());
}

TEST(ClientList, ThreadOfTheListEndsAtOnceWithoutCallingTheWorker) {
    RecordingWorker worker;
    TCPClientList list(&worker);
    ASSERT_EQ(0, list.CreateThread(0, nullptr, nullptr, 0));
    list.WaitForExitThread();
    list.Release();
    EXPECT_TRUE(worker.Begun().empty());
    EXPECT_TRUE(worker.Ended().empty());
    EXPECT_TRUE(worker.Messages().empty());
}

TEST(ClientList, UnconnectedClientAnswersThroughTheList) {
    LogCapture log;
    RecordingWorker worker;
    TCPClient client(&worker);
    TCPClientList list(&worker);
    std::string message = Message(2, "abc");
    EXPECT_EQ(0, list.SendMsg(&client, &message[0], static_cast<int>(message.size()))); // no socket
    EXPECT_EQ(E_FAIL, list.Error(&client, E_FAIL, "ClientList probe failed"));
    EXPECT_EQ(-1, list.Error(&client, -1, "second probe"));
    std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("ClientList probe failed", lines[0]);
    EXPECT_EQ("second probe", lines[1]);
}

TEST(ClientList, NullConnectionReachesNothing) {
    LogCapture log;
    RecordingWorker worker;
    TCPClientList list(&worker);
    char message[4] = {4, 0, 5, 0};
    EXPECT_EQ(0, list.SendMsg(nullptr, message, 4));
    int data = 0;
    list.SetData(nullptr, &data);
    EXPECT_EQ(nullptr, list.GetData(nullptr));
    EXPECT_EQ(E_FAIL, list.Error(nullptr, E_FAIL, "no connection %s"));
    std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("no connection %s", lines[0]); // the text is not a format
}

namespace {

// A connection kernel that records the connection argument it is given:
// a TCPClient ignores that argument, so it cannot show what the list passes.
class ArgumentRecorder final : public ClientNetKernel {
public:
    int SendMsg(void* connection, void*, int length) override {
        seen.push_back(connection);
        return length;
    }
    LONG Error(void* connection, LONG code, const char*) override {
        seen.push_back(connection);
        return code;
    }
    void SetData(void* connection, void* value) override {
        seen.push_back(connection);
        data = value;
    }
    void* GetData(void* connection) override {
        seen.push_back(connection);
        return data;
    }
    std::vector<void*> seen;
    void* data = nullptr;
};

} // namespace

TEST(ClientList, ForwardsEachOperationWithConnectionZero) {
    ArgumentRecorder connection;
    TCPClientList list(nullptr);
    char message[4] = {4, 0, 5, 0};
    int value = 0;
    EXPECT_EQ(4, list.SendMsg(&connection, message, 4));
    EXPECT_EQ(7, list.Error(&connection, 7, "text"));
    list.SetData(&connection, &value);
    EXPECT_EQ(&value, list.GetData(&connection));
    EXPECT_EQ(std::vector<void*>(4, nullptr), connection.seen);
}

// ---------------------------------------------------------------- real connections

#if defined(YNET_HAVE_ECHO_SERVER)

TEST(ClientList, DrivesTwoEchoConnectionsAtOnce) {
    YNet2Tools::EchoServer server;
    ASSERT_EQ(0, server.Start());
    YSocketAddr address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(server.Port());
    address.sin_addr.s_addr = inet_addr("127.0.0.1");

    RecordingWorker worker;
    TCPClient first(&worker);
    TCPClient second(&worker);
    TCPClientList list(&worker);
    ASSERT_EQ(0, first.Init(address));
    ASSERT_EQ(0, second.Init(address));
    ASSERT_TRUE(server.WaitForAccepted(2, 10000));

    // The owner's pointer, through the list and directly, lands on the same field.
    int tagFirst = 1;
    int tagSecond = 2;
    int tagOther = 3;
    list.SetData(&first, &tagFirst);
    list.SetData(&second, &tagSecond);
    EXPECT_EQ(&tagFirst, list.GetData(&first));
    EXPECT_EQ(&tagFirst, first.GetData(nullptr));
    EXPECT_EQ(&tagSecond, second.GetData(nullptr));
    second.SetData(nullptr, &tagOther);
    EXPECT_EQ(&tagOther, list.GetData(&second));
    EXPECT_EQ(&tagFirst, list.GetData(&first));

    // Two threads send through the one list at once, each on its own connection.
    constexpr int kEach = 40;
    auto sendAll = [&list](TCPClient* client, char tag) {
        for (int i = 0; i < kEach; ++i) {
            std::string message = Message(static_cast<BYTE>(i), std::string(1 + i, tag));
            int length = static_cast<int>(message.size());
            EXPECT_EQ(length, list.SendMsg(client, &message[0], length));
        }
    };
    std::thread one(sendAll, &first, 'a');
    std::thread two(sendAll, &second, 'b');
    one.join();
    two.join();
    ASSERT_TRUE(worker.WaitForMessages(2 * kEach));

    // Each connection got its own echoes, whole and in order, with
    // connection argument 0 and itself as the kernel.
    std::vector<Received> got = worker.Messages();
    ASSERT_EQ(static_cast<size_t>(2 * kEach), got.size());
    int next[2] = {0, 0};
    for (const Received& message : got) {
        EXPECT_EQ(nullptr, message.connection);
        ASSERT_TRUE(message.kernel == &first || message.kernel == &second);
        int which = message.kernel == &first ? 0 : 1;
        char tag = which == 0 ? 'a' : 'b';
        EXPECT_EQ(Message(static_cast<BYTE>(next[which]), std::string(1 + next[which], tag)), message.bytes);
        ++next[which];
    }
    EXPECT_EQ(kEach, next[0]);
    EXPECT_EQ(kEach, next[1]);

    first.Wait_Release();
    second.Wait_Release();
    EXPECT_EQ(2u, worker.Ended().size());
    EXPECT_EQ(2, worker.Cuts());
    EXPECT_EQ(0, list.SendMsg(&first, nullptr, 0)); // released: nothing to send on
    server.Stop();
}

#endif
