// The receive stream: message boundaries in pieces of any size, moving a
// pending message, refusing malformed input, handing out messages and the
// end-of-connection head, giving blocks back, and two threads at once.
#include <gtest/gtest.h>

#include "framework/Log.h"
#include "message/YNetMsgHead.h"
#include "stream/LockHolder.h"
#include "stream/NetStream.h"
#include "stream/SharedBlockPool.h"
#include "stream/YLinkAllocHook.h"
#include "support/FailChunksOf.h"
#include "support/LogCapture.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

using namespace YNet2;
using YNetTest::FailChunksOf;
using YNetTest::LogCapture;

namespace {

typedef std::vector<BYTE> Bytes;

// A message of `size` bytes: its head, then a body derived from seed.
Bytes Message(int size, int seed = 0) {
    Bytes bytes(static_cast<std::size_t>(size));
    for (int i = 4; i < size; ++i)
        bytes[static_cast<std::size_t>(i)] = static_cast<BYTE>(seed * 31 + i * 7);
    reinterpret_cast<YNetMsgHead*>(bytes.data())->SetHead(static_cast<WORD>(size), 5, 7, true, false, false);
    return bytes;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes Head(int size) {
    Bytes bytes = {static_cast<BYTE>(size & 0xFF), static_cast<BYTE>((size >> 8) & 0xFF), 4, 0};
    return bytes;
}

Bytes MessageBytes(const YNetMsgHead* head) {
    const BYTE* at = reinterpret_cast<const BYTE*>(head);
    return Bytes(at, at + head->GetSize());
}

// Every test leaves every block it took back in the shared pool.
class NetStreamTest : public testing::Test {
protected:
    void SetUp() override { m_TakenBefore = SharedBlockPool().Taken(); }
    void TearDown() override {
        m_Stream.Release();
        EXPECT_EQ(SharedBlockPool().Taken(), m_TakenBefore);
    }

    DWORD Taken() { return SharedBlockPool().Taken() - m_TakenBefore; }

    // The receiving side: copies bytes to the block's end, as a receive does.
    int Receive(_block* block, const Bytes& bytes, std::size_t from, std::size_t count) {
        std::memcpy(block->m_Bytes + block->m_Len, bytes.data() + from, count);
        return m_Stream.Analyse_InData(static_cast<ULONG>(count), block, m_Remaining);
    }
    int Receive(_block* block, const Bytes& bytes) { return Receive(block, bytes, 0, bytes.size()); }

    // The consuming side: the next message's bytes, consumed; empty if none.
    Bytes Consume() {
        YNetMsgHead* head = m_Stream.Process_InData();
        if (head == nullptr)
            return Bytes();
        Bytes bytes = MessageBytes(head);
        m_Stream.BrushMsg();
        return bytes;
    }

    bool EndHeadComes() {
        YNetMsgHead* head = m_Stream.Process_InData();
        return NetStream::IsEndConnectHead(head) && head->IsEndConnect() && head->GetSize() == 4 &&
               MessageBytes(head) == Bytes({4, 0, 0, 0});
    }

    NetStream m_Stream;
    ULONG m_Remaining = 0;
    DWORD m_TakenBefore = 0;
};

} // namespace

static_assert(!std::is_copy_constructible_v<NetStream> && !std::is_copy_assignable_v<NetStream>,
              "a copy would share the original's lock and block list");

TEST_F(NetStreamTest, WorkedSequenceHandsOutBothMessagesInPlace) {
    const Bytes first = Message(100, 1), second = Message(120, 2);
    const Bytes wire = Join({first, second});

    _block* b1 = m_Stream.Request(nullptr, 1440);
    ASSERT_NE(b1, nullptr);
    EXPECT_EQ(b1->m_Len, 0);
    EXPECT_EQ(b1->m_Offset, 0);
    EXPECT_EQ(Taken(), 1u);

    EXPECT_EQ(Receive(b1, wire, 0, 150), 2);
    EXPECT_EQ(b1->m_Len, 150);
    EXPECT_EQ(m_Remaining, 70u);

    EXPECT_EQ(m_Stream.Request(b1, 70), b1);
    EXPECT_EQ(Receive(b1, wire, 150, 70), 1);
    EXPECT_EQ(b1->m_Len, 220);
    EXPECT_EQ(m_Remaining, 0u);

    YNetMsgHead* head = m_Stream.Process_InData();
    ASSERT_EQ(reinterpret_cast<BYTE*>(head), b1->m_Bytes);
    EXPECT_EQ(MessageBytes(head), first);
    m_Stream.BrushMsg();
    EXPECT_EQ(b1->m_Offset, 100);
    head = m_Stream.Process_InData();
    ASSERT_EQ(reinterpret_cast<BYTE*>(head), b1->m_Bytes + 100);
    EXPECT_EQ(MessageBytes(head), second);
    EXPECT_TRUE(m_Stream.IsProcess());
    m_Stream.BrushMsg();
    EXPECT_FALSE(m_Stream.IsProcess());
    // Consumed, but still the block the receiving side appends to.
    EXPECT_EQ(m_Stream.GetFirstNode(), b1);
    EXPECT_EQ(b1->m_Offset, 220);
    EXPECT_EQ(Taken(), 1u);
    EXPECT_EQ(m_Stream.Process_InData(), nullptr);

    m_Stream.EndConnect();
    EXPECT_TRUE(EndHeadComes());
    EXPECT_EQ(m_Stream.GetFirstNode(), nullptr);
    EXPECT_EQ(Taken(), 0u);
}

TEST_F(NetStreamTest, ConsumedBlockGoesBackOnceTheReceivingSideCanNoLongerAppend) {
    const Bytes m = Message(1000, 3), full = Message(1440, 4);
    _block* b1 = m_Stream.Request(nullptr, 2880);
    ASSERT_EQ(Receive(b1, m), 1);
    EXPECT_EQ(Consume(), m);
    EXPECT_EQ(m_Stream.GetFirstNode(), b1); // consumed, but the receiving side may append to it
    EXPECT_EQ(Taken(), 1u);

    _block* b2 = m_Stream.Request(b1, 2000); // room 1880: moves on
    ASSERT_NE(b2, b1);
    EXPECT_EQ(Taken(), 2u);
    EXPECT_EQ(m_Stream.Process_InData(), nullptr); // gives b1 back on the way
    EXPECT_EQ(m_Stream.GetFirstNode(), b2);
    EXPECT_EQ(Taken(), 1u);

    // A block filled to its end leaves the list once consumed, but stays
    // with the stream (the receiving side still holds it) and is the block
    // the next Request hands out; Release gives it back.
    ASSERT_EQ(Receive(b2, Join({full, full})), 2);
    EXPECT_EQ(Consume(), full);
    EXPECT_EQ(Consume(), full);
    EXPECT_EQ(m_Stream.GetFirstNode(), nullptr);
    EXPECT_EQ(Taken(), 1u);
    EXPECT_EQ(b2->m_Len, 2880); // nobody else has it
    EXPECT_EQ(m_Stream.Request(b2, 100), b2);
    EXPECT_EQ(b2->m_Len, 0);
    EXPECT_EQ(b2->m_Offset, 0);
    EXPECT_EQ(m_Stream.GetFirstNode(), b2);
    ASSERT_EQ(Receive(b2, Join({full, full})), 2);
    EXPECT_EQ(Consume(), full);
    EXPECT_EQ(Consume(), full);
    m_Stream.Release();
    EXPECT_EQ(Taken(), 0u);

    // Once the connection has ended, a full consumed block goes straight back.
    m_Stream.Clear();
    m_Remaining = 0;
    _block* b3 = m_Stream.Request(nullptr, 2880);
    ASSERT_EQ(Receive(b3, Join({full, full})), 2);
    m_Stream.EndConnect();
    EXPECT_EQ(Consume(), full);
    EXPECT_EQ(Consume(), full);
    EXPECT_EQ(Taken(), 0u);
    EXPECT_TRUE(EndHeadComes());
}

TEST_F(NetStreamTest, PendingMessageMovesWholeToTheNewBlockAndIsHandedOutOnce) {
    const Bytes a = Message(1370, 1), b = Message(1370, 2), c = Message(160, 3);
    const Bytes wire = Join({a, b, c});
    _block* b1 = m_Stream.Request(nullptr, 2880);
    ASSERT_EQ(Receive(b1, wire, 0, 2800), 3); // c's first 60 bytes, 80 bytes of room left
    EXPECT_EQ(m_Remaining, 100u);

    _block* b2 = m_Stream.Request(b1, 100);
    ASSERT_NE(b2, nullptr);
    ASSERT_NE(b2, b1);
    EXPECT_EQ(b2->m_Len, 60);
    EXPECT_EQ(Bytes(b2->m_Bytes, b2->m_Bytes + 60), Bytes(c.begin(), c.begin() + 60));
    EXPECT_EQ(b1->m_Len, 2740); // the incomplete copy is cut off
    EXPECT_EQ(Receive(b2, wire, 2800, 100), 1);
    EXPECT_EQ(m_Remaining, 0u);

    EXPECT_EQ(Consume(), a);
    EXPECT_EQ(Taken(), 2u);
    EXPECT_EQ(Consume(), b);
    EXPECT_EQ(Taken(), 1u); // b1: consumed and left
    YNetMsgHead* head = m_Stream.Process_InData();
    EXPECT_EQ(reinterpret_cast<BYTE*>(head), b2->m_Bytes);
    EXPECT_EQ(MessageBytes(head), c);
    m_Stream.BrushMsg();
    EXPECT_TRUE(Consume().empty());
}

TEST_F(NetStreamTest, FullBlockEndingInAPendingMessageStaysUntilItsBytesHaveMoved) {
    const Bytes a = Message(1440, 1), b = Message(1267, 2), c = Message(817, 3);
    const Bytes wire = Join({a, b, c});
    _block* b1 = m_Stream.Request(nullptr, 2880);
    ASSERT_EQ(Receive(b1, wire, 0, 2880), 3); // ends 173 bytes into c
    EXPECT_EQ(Consume(), a);
    EXPECT_EQ(Consume(), b);
    EXPECT_TRUE(Consume().empty()); // the consumer reaches c's first bytes first
    EXPECT_EQ(m_Stream.GetFirstNode(), b1);
    EXPECT_EQ(Taken(), 1u);

    _block* b2 = m_Stream.Request(b1, m_Remaining);
    ASSERT_NE(b2, b1);
    EXPECT_EQ(b2->m_Len, 173);
    EXPECT_EQ(Receive(b2, wire, 2880, 644), 1);
    EXPECT_EQ(Consume(), c);
    EXPECT_EQ(Taken(), 1u);
}

TEST_F(NetStreamTest, RunsHandOutTheFirstBlocksWholeMessagesInPlaceUnderOneClaim) {
    const Bytes a = Message(100, 1), b = Message(1440, 2), c = Message(1300, 3), d = Message(500, 4);
    const Bytes wire = Join({a, b, c, d});
    _block* b1 = m_Stream.Request(nullptr, 2880);
    ASSERT_EQ(Receive(b1, wire, 0, 2880), 4); // ends 40 bytes into d
    LogCapture log;
    NetMsgRun run, stale;
    m_Stream.BrushRun(stale); // not handed out
    ASSERT_TRUE(m_Stream.Process_Run(run));
    EXPECT_EQ(reinterpret_cast<BYTE*>(run.Next()), b1->m_Bytes);
    EXPECT_EQ(m_Stream.Process_InData(), nullptr); // one holder, whichever way it consumes
    EXPECT_FALSE(m_Stream.Process_Run(stale));
    m_Stream.BrushRun(run); // stopped after a: b and c stay
    m_Stream.BrushRun(run); // spent
    EXPECT_EQ(log.Lines(), std::vector<std::string>(2, "NetStream::BrushRun() fail!"));
    ASSERT_TRUE(m_Stream.Process_Run(run));
    EXPECT_EQ(MessageBytes(run.Next()), b);
    EXPECT_EQ(MessageBytes(run.Next()), c);
    EXPECT_EQ(run.Next(), nullptr);          // not the first bytes of d
    EXPECT_FALSE(m_Stream.Process_Run(run)); // consumes b and c; nothing more now: the claim is given up
    EXPECT_EQ(b1->m_Offset, 2840);
    ASSERT_EQ(Receive(m_Stream.Request(b1, m_Remaining), wire, 2880, 460), 1);
    m_Stream.EndConnect();
    std::vector<Bytes> rest; // runs under one claim: d, then the end head alone
    ASSERT_TRUE(m_Stream.Process_Run(run));
    rest.push_back(MessageBytes(run.Next()));
    EXPECT_EQ(run.Next(), nullptr);
    ASSERT_TRUE(m_Stream.Process_Run(run)); // the end head's run, stopped before it: the end stays
    m_Stream.BrushRun(run);
    EXPECT_FALSE(m_Stream.IsProcess());
    while (m_Stream.Process_Run(run))
        for (YNetMsgHead* head; (head = run.Next()) != nullptr;)
            rest.push_back(NetStream::IsEndConnectHead(head) ? Bytes{0} : MessageBytes(head));
    EXPECT_EQ(rest, (std::vector<Bytes>{d, Bytes{0}}));
    EXPECT_EQ(Taken(), 0u);
    EXPECT_TRUE(m_Stream.IsProcess()); // finished
}

TEST_F(NetStreamTest, PieceBoundariesAnywhereGiveTheHeadCountsAndRemainingCounts) {
    const Bytes m100 = Message(100, 1);
    _block* block = m_Stream.Request(nullptr, 2880);

    EXPECT_EQ(Receive(block, m100), 1); // exactly one message
    EXPECT_EQ(m_Remaining, 0u);
    EXPECT_EQ(Consume(), m100);

    EXPECT_EQ(Receive(block, m100, 0, 10), 0);
    EXPECT_EQ(m_Remaining, 90u);
    EXPECT_EQ(m_Stream.Process_InData(), nullptr);
    EXPECT_EQ(Receive(m_Stream.Request(block, 90), m100, 10, 90), 1);
    EXPECT_EQ(m_Remaining, 0u);
    EXPECT_EQ(Consume(), m100);

    const Bytes two = Join({Message(20, 2), Message(30, 3)});
    EXPECT_EQ(Receive(block, two), 2);
    const Bytes third = Message(40, 4);
    EXPECT_EQ(Receive(block, Join({two, Bytes(third.begin(), third.begin() + 3)})), 3);
    EXPECT_EQ(m_Remaining, 37u);
    EXPECT_EQ(Receive(block, third, 3, 37), 1);

    // A piece that ends one byte into a head: the rest of the head is asked
    // for, then the rest of the message.
    const Bytes m300 = Message(300, 5);
    EXPECT_EQ(Receive(block, Join({m100, Bytes(m300.begin(), m300.begin() + 1)})), 2);
    EXPECT_EQ(m_Remaining, 3u);
    EXPECT_EQ(Receive(block, m300, 1, 1), 0);
    EXPECT_EQ(m_Remaining, 298u);
    EXPECT_EQ(Receive(block, m300, 2, 298), 1);
    EXPECT_EQ(Receive(block, m300, 0, 1), 0);
    EXPECT_EQ(m_Remaining, 3u);
    EXPECT_EQ(Receive(block, m300, 1, 3), 0);
    EXPECT_EQ(m_Remaining, 296u);
    EXPECT_EQ(Receive(block, m300, 4, 296), 1);
    const Bytes m4 = Message(4, 6);
    EXPECT_EQ(Receive(block, m4, 0, 1), 0);
    EXPECT_EQ(Receive(block, m4, 1, 3), 1); // a head-only message completed by its head

    for (const Bytes& expected :
         {Message(20, 2), Message(30, 3), Message(20, 2), Message(30, 3), third, m100, m300, m300, m4})
        EXPECT_EQ(Consume(), expected);
    EXPECT_TRUE(Consume().empty());
}

TEST_F(NetStreamTest, MoreBytesThanThePendingMessageLacksAreRefusedWithBothLogLines) {
    const Bytes m100 = Message(100, 1);
    _block* block = m_Stream.Request(nullptr, 2880);
    ASSERT_EQ(Receive(block, m100, 0, 10), 0);
    ASSERT_EQ(Receive(block, m100, 10, 50), 0);
    EXPECT_EQ(m_Remaining, 40u);
    LogCapture log;
    EXPECT_EQ(Receive(block, Join({m100, m100}), 60, 41), -1);
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{
                  "NetStream::Analyse_InData() \xBD\xD3\xCA\xD5\xB5\xBD\xB1\xC8\xD2\xAA\xC7\xF3\xB8\xFC\xB6"
                  "\xE0\xB5\xC4\xCA\xFD\xBE\xDD\xA3\xA1",
                  "NetStream::Analyse_InData() \xBD\xD3\xCA\xD5\xB5\xBD\xB1\xC8\xD2\xAA\xC7\xF3\xB8\xFC\xB6"
                  "\xE0\xB5\xC4\xCA\xFD\xBE\xDD\xCA\xB1\xA3\xAC\xBD\xD3\xCA\xD5\xB5\xBD\xB4\xED\xCE\xF3"
                  "\xCF\xFB\xCF\xA2!"}));
    EXPECT_EQ(m_Remaining, 40u);
    EXPECT_EQ(block->m_Len, 60); // nothing of the refused piece is counted
    EXPECT_EQ(m_Stream.Process_InData(), nullptr);
    EXPECT_EQ(Receive(block, m100, 60, 40), 1); // the pending message is as it was
    EXPECT_EQ(Consume(), m100);
}

TEST_F(NetStreamTest, MalformedHeadsAreRefusedWithoutCountingAnything) {
    _block* block = m_Stream.Request(nullptr, 2880);
    const Bytes m100 = Message(100, 1);
    struct Case {
        const char* what;
        Bytes piece;
    } cases[] = {
        {"size 0", Head(0)},
        {"size 0 after a message", Join({m100, Head(0), Head(0)})},
        {"size 1", Join({Head(1), Head(4)})},
        {"size 3 after a message", Join({m100, Head(3)})},
        {"first head over 1440, incomplete", Head(1441)},
        {"first head over 1440, complete", Join({Head(2000), Bytes(1996, 0)})},
        {"later head over 1440, incomplete", Join({m100, Head(1441)})},
        {"later head over 1440, complete", Join({m100, Head(1500), Bytes(1496, 0)})},
        {"size word over 1440 with two bytes", Join({m100, Bytes{0xA1, 0x05}})},
        {"bytes past the block's room", Bytes(2881, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ULONG before = block->m_Len;
        m_Remaining = 0;
        if (c.piece.size() <= 2880u - before)
            std::memcpy(block->m_Bytes + before, c.piece.data(), c.piece.size());
        EXPECT_EQ(m_Stream.Analyse_InData(static_cast<ULONG>(c.piece.size()), block, m_Remaining), -1);
        EXPECT_EQ(block->m_Len, before);
        EXPECT_EQ(m_Remaining, 0u);
        EXPECT_EQ(m_Stream.Process_InData(), nullptr);
    }

    // A pending head whose size word turns out bad, and a continuation that
    // does not come in the block or with the counter the stream gave out.
    ASSERT_EQ(Receive(block, Head(0), 0, 1), 0);
    ASSERT_EQ(m_Remaining, 3u);
    EXPECT_EQ(Receive(block, Head(0), 1, 3), -1);
    EXPECT_EQ(m_Remaining, 3u);
    const Bytes m1440 = Message(1440, 2);
    _block* other = m_Stream.Request(nullptr, 2880);
    ASSERT_NE(other, block);
    EXPECT_EQ(m_Stream.Analyse_InData(3, block, m_Remaining), -1);
    m_Remaining = 2;
    EXPECT_EQ(Receive(other, m1440, 1, 2), -1);

    // A first head of exactly 1440 is taken.
    m_Stream.Release();
    m_Stream.Clear();
    m_Remaining = 0;
    block = m_Stream.Request(nullptr, 2880);
    EXPECT_EQ(Receive(block, m1440, 0, 10), 0);
    EXPECT_EQ(m_Remaining, 1430u);
    EXPECT_EQ(Receive(block, m1440, 10, 1430), 1);
    EXPECT_EQ(Consume(), m1440);
}

TEST_F(NetStreamTest, RequestTakesANewBlockExactlyWhenTheRoomIsShort) {
    _block* b1 = m_Stream.Request(nullptr, 100);
    ASSERT_NE(b1, nullptr);
    ASSERT_EQ(Receive(b1, Message(1000, 1)), 1);
    EXPECT_EQ(m_Stream.Request(b1, 1880), b1);
    _block* b2 = m_Stream.Request(b1, 1881);
    EXPECT_NE(b2, b1);
    _block* b3 = m_Stream.Request(b2, 0);
    EXPECT_NE(b3, b2);
    EXPECT_NE(b3, b1);
    EXPECT_EQ(Taken(), 3u);
    EXPECT_EQ(m_Stream.GetFirstNode(), b1);
}

TEST_F(NetStreamTest, ConsumerSideIsHeldByOneHolderAtATime) {
    EXPECT_EQ(m_Stream.Process_InData(), nullptr); // no block, not ended
    EXPECT_FALSE(m_Stream.IsProcess());

    const Bytes a = Message(50, 1), b = Message(60, 2);
    _block* block = m_Stream.Request(nullptr, 2880);
    ASSERT_EQ(Receive(block, Join({a, b})), 2);
    YNetMsgHead* held = m_Stream.Process_InData();
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(m_Stream.Process_InData(), nullptr); // another consumer gets nothing
    EXPECT_TRUE(m_Stream.IsProcess());
    EXPECT_EQ(MessageBytes(held), a);
    m_Stream.BrushMsg();
    EXPECT_EQ(Consume(), b);
}

TEST_F(NetStreamTest, BrushWithoutAWholeMessageFailsAndLeavesTheBlock) {
    LogCapture log;
    m_Stream.BrushMsg(); // no block at all
    _block* block = m_Stream.Request(nullptr, 2880);
    const Bytes m = Message(100, 1);
    ASSERT_EQ(Receive(block, m, 0, 30), 0);
    m_Stream.BrushMsg(); // the first message is not whole
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"NetStream::BrushMsg() fail!", "NetStream::BrushMsg() fail!"}));
    EXPECT_FALSE(m_Stream.IsProcess());
    EXPECT_EQ(block->m_Offset, 0);
    EXPECT_EQ(block->m_Len, 30);
    EXPECT_EQ(Receive(block, m, 30, 70), 1);
    EXPECT_EQ(Consume(), m);
}

TEST_F(NetStreamTest, EndOfConnectionHeadComesOnceAfterTheLastMessage) {
    const Bytes a = Message(700, 1), b = Message(900, 2), c = Message(1400, 3);
    _block* b1 = m_Stream.Request(nullptr, 2880);
    ASSERT_EQ(Receive(b1, Join({a, b})), 2);
    const Bytes lookalike = {4, 0, 0, 0}; // a received head-only message with main ID 0
    _block* b2 = m_Stream.Request(b1, 2880);
    ASSERT_EQ(Receive(b2, Join({c, lookalike, Message(500, 4)}), 0, 1504), 3); // ends 100 bytes into a message
    m_Stream.EndConnect();

    EXPECT_EQ(Consume(), a);
    EXPECT_EQ(Consume(), b);
    EXPECT_EQ(Consume(), c);
    YNetMsgHead* head = m_Stream.Process_InData();
    ASSERT_NE(head, nullptr);
    EXPECT_TRUE(head->IsEndConnect());
    EXPECT_FALSE(NetStream::IsEndConnectHead(head)); // a message, in its block
    EXPECT_EQ(reinterpret_cast<BYTE*>(head), b2->m_Bytes + 1400);
    m_Stream.BrushMsg();
    EXPECT_TRUE(EndHeadComes()); // the message cut short goes with its block
    EXPECT_EQ(Taken(), 0u);
    EXPECT_TRUE(m_Stream.IsProcess());
    EXPECT_EQ(m_Stream.Process_InData(), nullptr);
    EXPECT_EQ(m_Stream.Process_InData(), nullptr);

    m_Stream.Clear();
    EXPECT_FALSE(m_Stream.IsProcess());
    EXPECT_EQ(m_Stream.Process_InData(), nullptr); // a new connection has not ended
    EXPECT_FALSE(m_Stream.IsProcess());
}

TEST_F(NetStreamTest, ReleaseGivesEveryBlockBackAndClearAloneForgetsThem) {
    std::vector<_block*> blocks;
    _block* block = nullptr;
    for (int i = 0; i < 6; ++i) { // grows the stream's list past its first chunk
        block = m_Stream.Request(block, 0);
        blocks.push_back(block);
    }
    ASSERT_EQ(Receive(block, Message(100, 1), 0, 50), 0);
    EXPECT_EQ(Taken(), 6u);
    m_Stream.Release();
    EXPECT_EQ(Taken(), 0u);
    EXPECT_EQ(m_Stream.GetFirstNode(), nullptr);
    m_Stream.Clear();
    m_Remaining = 0;

    block = m_Stream.Request(nullptr, 2880);
    ASSERT_EQ(Receive(block, Message(10, 2)), 1);
    m_Stream.Clear();
    EXPECT_EQ(m_Stream.GetFirstNode(), nullptr);
    EXPECT_EQ(m_Stream.Process_InData(), nullptr);
    EXPECT_EQ(Taken(), 1u); // forgotten, still taken: give it back by hand
    LockHolder pool(&SharedBlockPool().m_Lock);
    EXPECT_EQ(SharedBlockPool().Remove(block), 0);
}

TEST_F(NetStreamTest, DestroyingAStreamGivesItsBlocksBack) {
    {
        NetStream stream;
        stream.Request(nullptr, 10);
        stream.Request(nullptr, 10);
        EXPECT_EQ(Taken(), 2u);
    }
    EXPECT_EQ(Taken(), 0u);
}

TEST_F(NetStreamTest, RequestReportsAPoolOrListThatCannotGrow) {
    // The list: three blocks fit its first chunk, the fourth needs a new one.
    _block* block = nullptr;
    for (int i = 0; i < 3; ++i)
        block = m_Stream.Request(block, 0);
    const Bytes m = Message(200, 1);
    ASSERT_EQ(Receive(block, m, 0, 20), 0);
    {
        LogCapture log;
        FailChunksOf failing(4);
        EXPECT_EQ(m_Stream.Request(block, 0), nullptr);
        EXPECT_EQ(log.Lines(), (std::vector<std::string>{"YLink::alloc(4) fail!", "YLink::Add()"}));
    }
    EXPECT_EQ(Taken(), 3u);
    EXPECT_EQ(block->m_Len, 20);
    EXPECT_EQ(Receive(block, m, 20, 180), 1); // the stream goes on where it was

    // The pool: take every free block but the last; the last needs a new chunk.
    NetStream hog;
    const DWORD free = SharedBlockPool().Total() - SharedBlockPool().Taken();
    for (DWORD i = 0; i + 1 < free; ++i)
        ASSERT_NE(hog.Request(nullptr, 1), nullptr);
    {
        LogCapture log;
        FailChunksOf failing(64);
        ASSERT_EQ(Receive(block, m, 0, 30), 0);
        EXPECT_EQ(m_Stream.Request(block, 2880), nullptr);
        EXPECT_EQ(log.Lines(), (std::vector<std::string>{"YLink::alloc(64) fail!", "YLink::Add()"}));
    }
    EXPECT_EQ(block->m_Len, 230);
    _block* next = m_Stream.Request(block, 2880); // memory is back: the pending bytes move
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->m_Len, 30);
    EXPECT_EQ(block->m_Len, 200);
    hog.Release();
    EXPECT_EQ(Receive(next, m, 30, 170), 1);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(Consume(), m);
}

// One thread receives a long random stream in random pieces, another
// consumes; every message arrives once, in order, byte for byte.
TEST_F(NetStreamTest, TwoThreadsReassembleARandomStreamExactly) {
    std::mt19937 random(20261208);
    std::vector<std::size_t> starts;
    Bytes wire;
    for (int i = 0; i < 6000; ++i) {
        int size = random() % 4 == 0 ? 4 + static_cast<int>(random() % 40) : 4 + static_cast<int>(random() % 1437);
        starts.push_back(wire.size());
        const Bytes m = Message(size, static_cast<int>(random()));
        wire.insert(wire.end(), m.begin(), m.end());
    }
    starts.push_back(wire.size());

    std::atomic<bool> failed{false};
    std::thread receiver([&] {
        std::mt19937 pieces(7);
        _block* block = nullptr;
        ULONG remaining = 0, filled = 0;
        std::size_t at = 0;
        while (at < wire.size() && !failed) {
            // Half the time the room left in the block, so blocks fill to the
            // end (and go back to the pool as soon as they are consumed).
            ULONG want = remaining;
            if (want == 0)
                want = block != nullptr && filled < 2880 && pieces() % 2 == 0 ? 2880 - filled
                                                                              : 1 + static_cast<ULONG>(pieces() % 2880);
            block = m_Stream.Request(block, want);
            if (block == nullptr || 2880u - block->m_Len < want) {
                ADD_FAILURE() << "no block with room for " << want << " bytes";
                failed = true;
                break;
            }
            ULONG n = 1 + static_cast<ULONG>(pieces() % want);
            n = static_cast<ULONG>(std::min<std::size_t>(n, wire.size() - at));
            filled = block->m_Len + n; // not read back: a full block may be given back at once
            std::memcpy(block->m_Bytes + block->m_Len, wire.data() + at, n);
            if (m_Stream.Analyse_InData(n, block, remaining) < 0)
                failed = true;
            at += n;
        }
        m_Stream.EndConnect();
    });

    // The consumer takes one message, or a run of which it reads some.
    std::mt19937 pace(11);
    NetMsgRun run;
    bool inRun = false;
    std::size_t next = 0;
    bool ended = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!ended && !failed) {
        if (!inRun && pace() % 2 == 0)
            inRun = m_Stream.Process_Run(run);
        YNetMsgHead* head = inRun ? (pace() % 8 != 0 ? run.Next() : nullptr) : m_Stream.Process_InData();
        if (inRun && head == nullptr) {
            m_Stream.BrushRun(run);
            inRun = false;
            continue;
        }
        if (head == nullptr) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "stalled after message " << next;
                failed = true;
            }
            std::this_thread::yield();
            continue;
        }
        if (NetStream::IsEndConnectHead(head)) {
            ended = true;
            break;
        }
        if (next + 1 >= starts.size() || static_cast<std::size_t>(head->GetSize()) != starts[next + 1] - starts[next] ||
            std::memcmp(head, wire.data() + starts[next], starts[next + 1] - starts[next]) != 0) {
            ADD_FAILURE() << "message " << next << " differs";
            failed = true;
        }
        ++next;
        if (!inRun)
            m_Stream.BrushMsg();
    }
    receiver.join();
    EXPECT_FALSE(failed);
    EXPECT_EQ(next, starts.size() - 1);
    EXPECT_EQ(m_Stream.GetFirstNode(), nullptr);
    EXPECT_EQ(Taken(), 0u);
}

namespace {

// Runs consume while this thread holds the pool's lock, and tells whether
// another user of the stream got through its lock meanwhile: it waits for
// the first block to leave the list, which consume does just before it
// gives that block back to the (busy) pool.
bool StreamStaysOpenWhilePoolIsBusy(NetStream& stream, const std::function<void()>& consume) {
    std::atomic<bool> through{false};
    std::thread consumer;
    std::thread other;
    bool seen = false;
    {
        LockHolder pool(&SharedBlockPool().m_Lock);
        consumer = std::thread(consume);
        other = std::thread([&] {
            while (stream.GetFirstNode() != nullptr) {
            }
            through = true;
        });
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!(seen = through.load()) && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    consumer.join();
    other.join();
    return seen;
}

} // namespace

TEST_F(NetStreamTest, ABusyPoolDoesNotHoldUpTheStreamsOtherUsers) {
    // BrushMsg of the last message of a block that the receiving side has left.
    _block* block = m_Stream.Request(nullptr, 2880);
    ASSERT_EQ(Receive(block, Message(100, 1)), 1);
    m_Stream.EndConnect();
    ASSERT_NE(m_Stream.Process_InData(), nullptr);
    EXPECT_TRUE(StreamStaysOpenWhilePoolIsBusy(m_Stream, [&] { m_Stream.BrushMsg(); }));
    EXPECT_TRUE(EndHeadComes());
    EXPECT_EQ(Taken(), 0u);

    // The search for a message drops a message the end of the connection cut short.
    m_Stream.Release();
    m_Stream.Clear();
    m_Remaining = 0;
    block = m_Stream.Request(nullptr, 2880);
    ASSERT_EQ(Receive(block, Message(100, 2), 0, 10), 0);
    m_Stream.EndConnect();
    YNetMsgHead* head = nullptr;
    EXPECT_TRUE(StreamStaysOpenWhilePoolIsBusy(m_Stream, [&] { head = m_Stream.Process_InData(); }));
    EXPECT_TRUE(NetStream::IsEndConnectHead(head));
    EXPECT_EQ(Taken(), 0u);
}
