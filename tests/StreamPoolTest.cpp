// The pooled list, the block pool and the lock holder: growth, order of
// reuse, refusals and failures to grow.
#include <gtest/gtest.h>

#include "framework/Log.h"
#include "stream/LockHolder.h"
#include "stream/YLink.h"
#include "stream/YLinkAllocHook.h"
#include "stream/_block.h"
#include "stream/_buff.h"
#include "support/FailChunksOf.h"
#include "support/LogCapture.h"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace YNet2;
using YNetTest::FailChunksOf;
using YNetTest::LogCapture;

namespace {

typedef YLink<_block*, 4, 4> BlockList;

// The chain runs from m_Head to m_Last through every record exactly once,
// forwards and backwards, and the cursor lies after m_Count used records.
void ExpectWholeChain(_buff& pool) {
    DWORD forward = 0;
    _block* last = nullptr;
    _block* cursorSeenAt = nullptr;
    DWORD cursorIndex = 0;
    for (_block* b = pool.m_Head; b != nullptr; last = b, b = b->m_Next, ++forward) {
        ASSERT_EQ(b->m_Prev, last);
        if (b == pool.m_Cursor) {
            cursorSeenAt = b;
            cursorIndex = forward;
        }
    }
    EXPECT_EQ(forward, pool.m_Total);
    EXPECT_EQ(last, pool.m_Last);
    EXPECT_NE(cursorSeenAt, nullptr);
    EXPECT_EQ(cursorIndex, pool.m_Count);
}

} // namespace

TEST(StreamPoolTest, FreshPoolGrowsBy64WhenItsLastFreeBlockIsTaken) {
    auto pool = std::make_unique<_buff>();
    EXPECT_EQ(pool->m_Total, 1024u);
    EXPECT_EQ(pool->m_Count, 0u);
    EXPECT_EQ(pool->m_Cursor, pool->m_Head);
    EXPECT_EQ(pool->m_Head->m_Prev, nullptr);

    for (int i = 0; i < 1023; ++i)
        ASSERT_NE(pool->Add(), nullptr);
    EXPECT_EQ(pool->m_Total, 1024u);
    _block* lastOfFirstChunk = pool->Add();
    EXPECT_EQ(lastOfFirstChunk, pool->m_Head + 1023);
    EXPECT_EQ(pool->m_Total, 1088u);
    EXPECT_EQ(pool->m_Count, 1024u);
    EXPECT_EQ(pool->m_Cursor, static_cast<_block*>(pool->m_Chunks.At(1)));
    EXPECT_EQ(pool->m_Cursor->m_Prev, lastOfFirstChunk);
    EXPECT_EQ(pool->m_Total, pool->Total());
    EXPECT_EQ(pool->m_Count, pool->Taken());
    ExpectWholeChain(*pool);
}

TEST(StreamPoolTest, TakenBlockIsResetButKeepsItsKeepFlag) {
    auto pool = std::make_unique<_buff>();
    _block* b = pool->Add();
    b->m_Len = 100;
    b->m_Offset = 40;
    b->m_Keep = 1;
    EnterCriticalSection(&pool->m_Lock);
    ASSERT_EQ(pool->Remove(b), 0);
    LeaveCriticalSection(&pool->m_Lock);
    EXPECT_EQ(pool->Add(), b);
    EXPECT_EQ(b->m_Len, 0);
    EXPECT_EQ(b->m_Offset, 0);
    EXPECT_EQ(b->m_Keep, 1);
}

TEST(StreamPoolTest, GivenBackBlocksAreReusedInTheOrderOfTheChain) {
    auto pool = std::make_unique<_buff>();
    LockHolder hold(&pool->m_Lock); // every Remove is made under the pool's lock

    // The only taken block comes back as the next one.
    _block* only = pool->Add();
    ASSERT_EQ(pool->Remove(only), 0);
    EXPECT_EQ(pool->m_Cursor, only);
    EXPECT_EQ(pool->Add(), only);

    // The most recently taken one becomes the cursor.
    _block* second = pool->Add();
    _block* third = pool->Add();
    ASSERT_EQ(pool->Remove(third), 0);
    EXPECT_EQ(pool->m_Cursor, third);
    EXPECT_EQ(pool->Add(), third);

    // One from the middle goes behind m_Last; the used part keeps its order.
    ASSERT_EQ(pool->Remove(second), 0);
    EXPECT_EQ(pool->m_Last, second);
    EXPECT_EQ(pool->m_Head, only);
    EXPECT_EQ(only->m_Next, third);
    EXPECT_EQ(third->m_Prev, only);
    ExpectWholeChain(*pool);

    // The head goes behind m_Last too, and the next taken block is the new head.
    ASSERT_EQ(pool->Remove(only), 0);
    EXPECT_EQ(pool->m_Head, third);
    EXPECT_EQ(third->m_Prev, nullptr);
    EXPECT_EQ(pool->m_Last, only);
    EXPECT_EQ(pool->m_Count, 1u);
    ExpectWholeChain(*pool);

    // Both come back only after every other free block: 1024 - 3 records
    // lie before them, and taking `only`, the last record, grows the chain.
    for (int i = 0; i < 1021; ++i) {
        _block* b = pool->Add();
        ASSERT_NE(b, second);
        ASSERT_NE(b, only);
    }
    EXPECT_EQ(pool->m_Total, 1024u);
    EXPECT_EQ(pool->Add(), second);
    EXPECT_EQ(pool->Add(), only);
    EXPECT_EQ(pool->m_Total, 1088u);
    ExpectWholeChain(*pool);
}

TEST(StreamPoolTest, RemovingABlockThatIsNotTakenFailsAndChangesNothing) {
    auto pool = std::make_unique<_buff>();
    LockHolder hold(&pool->m_Lock);
    _block* free = pool->m_Head;
    EXPECT_EQ(pool->Remove(free), E_FAIL); // nothing taken at all
    _block* taken = pool->Add();
    _block* cursor = pool->m_Cursor;
    EXPECT_EQ(pool->Remove(cursor), E_FAIL);
    EXPECT_EQ(pool->m_Count, 1u);
    EXPECT_EQ(pool->m_Cursor, cursor);
    EXPECT_EQ(pool->Remove(taken), 0);
    EXPECT_EQ(pool->Remove(taken), E_FAIL); // given back twice
    EXPECT_EQ(pool->m_Count, 0u);
    ExpectWholeChain(*pool);
}

TEST(StreamPoolTest, ValueListGrowsOnItsFourthAddAndReusesNodesInChainOrder) {
    _block blocks[6];
    BlockList list;
    EXPECT_EQ(list.m_Total, 4u);
    for (int i = 0; i < 3; ++i)
        ASSERT_NE(list.Add(&blocks[i]), nullptr);
    EXPECT_EQ(list.m_Total, 4u);
    BlockList::Node* fourth = list.Add(&blocks[3]);
    ASSERT_NE(fourth, nullptr);
    EXPECT_EQ(list.m_Total, 8u);
    EXPECT_EQ(list.m_Cursor, fourth->m_Next);
    EXPECT_EQ(list.First(), &blocks[0]);

    BlockList::Node* head = list.m_Head;
    EXPECT_EQ(list.Remove(&blocks[5]), E_FAIL); // never added
    EXPECT_EQ(list.Remove(&blocks[0]), 0);      // the head: moved behind m_Last
    EXPECT_EQ(list.m_Last, head);
    EXPECT_EQ(head->m_Value, nullptr);
    EXPECT_EQ(list.First(), &blocks[1]);
    EXPECT_EQ(list.Remove(&blocks[2]), 0); // the middle: behind m_Last
    EXPECT_EQ(list.First(), &blocks[1]);
    EXPECT_EQ(list.m_Head->m_Next->m_Value, &blocks[3]);
    BlockList::Node* lastUsed = list.m_Head->m_Next;
    EXPECT_EQ(list.Remove(&blocks[3]), 0); // the last used node: next out
    EXPECT_EQ(list.m_Cursor, lastUsed);
    EXPECT_EQ(list.Add(&blocks[4]), lastUsed);
    EXPECT_EQ(list.m_Count, 2u);

    list.Reset();
    EXPECT_EQ(list.m_Count, 0u);
    EXPECT_EQ(list.m_Cursor, list.m_Head);
    EXPECT_EQ(list.First(), nullptr);
    EXPECT_EQ(list.Remove(&blocks[1]), E_FAIL);
}

TEST(StreamPoolTest, ListThatCannotGrowRefusesTheValueAndStaysUsable) {
    _block blocks[4];
    BlockList list;
    for (int i = 0; i < 3; ++i)
        ASSERT_NE(list.Add(&blocks[i]), nullptr);
    {
        LogCapture log;
        FailChunksOf failing(4);
        EXPECT_EQ(list.Add(&blocks[3]), nullptr);
        EXPECT_EQ(log.Lines(), (std::vector<std::string>{"YLink::alloc(4) fail!", "YLink::Add()"}));
    }
    EXPECT_EQ(list.m_Count, 3u);
    EXPECT_EQ(list.m_Total, 4u);
    EXPECT_EQ(list.m_Cursor->m_Value, nullptr);
    EXPECT_NE(list.Add(&blocks[3]), nullptr); // memory is back
    EXPECT_EQ(list.m_Total, 8u);
}

TEST(StreamPoolTest, ListWhoseFirstChunkFailedLogsAndBuildsItOnFirstAdd) {
    LogCapture log;
    std::unique_ptr<BlockList> list;
    {
        FailChunksOf failing(4);
        list = std::make_unique<BlockList>();
    }
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"YLink::alloc(4) fail!", "YLink<4,4>::YLink fail!"}));
    EXPECT_EQ(list->m_Head, nullptr);
    EXPECT_EQ(list->m_Cursor, nullptr);
    EXPECT_EQ(list->Remove(nullptr), E_FAIL);
    _block block;
    EXPECT_NE(list->Add(&block), nullptr);
    EXPECT_EQ(list->First(), &block);
}

TEST(StreamPoolTest, PoolThatCannotGrowHandsOutNothing) {
    auto pool = std::make_unique<_buff>();
    for (int i = 0; i < 1023; ++i)
        ASSERT_NE(pool->Add(), nullptr);
    _block* cursor = pool->m_Cursor;
    {
        LogCapture log;
        FailChunksOf failing(64);
        EXPECT_EQ(pool->Add(), nullptr);
        EXPECT_EQ(log.Lines(), (std::vector<std::string>{"YLink::alloc(64) fail!", "YLink::Add()"}));
    }
    EXPECT_EQ(pool->m_Count, 1023u);
    EXPECT_EQ(pool->m_Total, 1024u);
    EXPECT_EQ(pool->m_Cursor, cursor);
    EXPECT_EQ(pool->Add(), cursor);
    EXPECT_EQ(pool->m_Total, 1088u);
    ExpectWholeChain(*pool);
}

TEST(StreamPoolTest, LockHolderLeavesAsOftenAsItEntered) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    auto othersCanEnter = [&section] {
        bool entered = false;
        std::thread([&] {
            entered = TryEnterCriticalSection(&section) != FALSE;
            if (entered)
                LeaveCriticalSection(&section);
        }).join();
        return entered;
    };
    {
        LockHolder hold(&section);
        hold.Lock();
        hold.Lock();
        hold.Unlock();
        EXPECT_FALSE(othersCanEnter());
    }
    EXPECT_TRUE(othersCanEnter());
    {
        LockHolder hold(&section);
        hold.Unlock();
        hold.Unlock(); // not inside: nothing to leave
        EXPECT_TRUE(othersCanEnter());
    }
    EXPECT_TRUE(othersCanEnter());
    DeleteCriticalSection(&section);
}
