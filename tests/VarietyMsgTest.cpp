#include <gtest/gtest.h>

#include "message/YNetVarietyMsg.h"

#include <array>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

using YNet2::YNetVarietyMsg;

namespace {

typedef std::array<unsigned char, 4> HeadBytes;

HeadBytes HeadAt(const void* head) {
    HeadBytes bytes;
    std::memcpy(bytes.data(), head, 4);
    return bytes;
}

unsigned char* Head(const YNetVarietyMsg& msg) {
    return reinterpret_cast<unsigned char*>(msg.m_MsgHead);
}

} // namespace

TEST(VarietyMsg, SizedConstructorDescribesAFreshBlock) {
    YNetVarietyMsg msg(10);
    ASSERT_NE(msg.m_Alloc, nullptr);
    EXPECT_EQ(Head(msg), msg.m_Alloc);
    EXPECT_EQ(msg.m_MsgData, Head(msg) + 4);
    EXPECT_EQ(msg.GetBuffSize(), 14);
    EXPECT_EQ(msg.GetDataSize(), 0);

    YNetVarietyMsg empty(0);
    ASSERT_NE(empty.m_Alloc, nullptr);
    EXPECT_EQ(empty.GetBuffSize(), 4);
    EXPECT_EQ(empty.m_MsgData, nullptr);

    EXPECT_EQ(YNetVarietyMsg::Size_Data2Msg(0), 4);
    EXPECT_EQ(YNetVarietyMsg::Size_Data2Msg(1436), 1440);
}

TEST(VarietyMsg, ResizeOnlyGrowsTheBlock) {
    YNetVarietyMsg msg(10);
    unsigned char* const block = msg.m_Alloc;
    ASSERT_TRUE(msg.Resize(6));
    EXPECT_EQ(msg.m_Alloc, block);
    EXPECT_EQ(msg.m_MsgData, block + 4);
    EXPECT_EQ(msg.GetDataSize(), 6);
    EXPECT_EQ(msg.GetMsgSize(), 10);
    EXPECT_EQ(msg.GetBuffSize(), 14);

    const char text[] = "0123456789";
    ASSERT_TRUE(msg.SetData(0, text, 10));
    ASSERT_TRUE(msg.Resize(10));
    EXPECT_EQ(msg.m_Alloc, block);
    EXPECT_EQ(std::memcmp(msg.m_MsgData, text, 10), 0);

    ASSERT_TRUE(msg.Resize(20));
    EXPECT_EQ(msg.GetBuffSize(), 24);
    EXPECT_EQ(msg.GetDataSize(), 20);
    EXPECT_EQ(Head(msg), msg.m_Alloc);
    EXPECT_EQ(msg.m_MsgData, msg.m_Alloc + 4);
    ASSERT_TRUE(msg.SetData(0, "abcdefghijklmnopqrst", 20)); // the whole new body is writable
}

TEST(VarietyMsg, SetHeadPacksAsTheHeadDoes) {
    YNetVarietyMsg msg(10);
    msg.SetHead(14, 3, 9, false, false, false);
    EXPECT_EQ(HeadAt(msg.m_MsgHead), (HeadBytes{0x0E, 0x00, 0x0C, 0x09}));
    msg.SetHead(0x8000 | 1440, 0x45, 0xFF, true, true, true);
    EXPECT_EQ(HeadAt(msg.m_MsgHead), (HeadBytes{0xA0, 0x85, 0x17, 0xFF}));
}

TEST(VarietyMsg, WrappingObjectLeavesTheCallersBufferAlone) {
    unsigned char buffer[12] = {0x0C, 0x00, 0x04, 0x01, 'h', 'e', 'l', 'l', 'o', '!', '!', '!'};
    {
        YNetVarietyMsg msg(buffer);
        EXPECT_EQ(Head(msg), buffer);
        EXPECT_EQ(msg.m_MsgData, buffer + 4);
        EXPECT_EQ(msg.m_Alloc, nullptr);
        EXPECT_EQ(msg.m_MsgHead->GetSize(), 12);
        msg.Release(); // not its to free
        EXPECT_EQ(Head(msg), buffer);

        // Its size is unknown: any Resize gives it a block of its own.
        ASSERT_TRUE(msg.Resize(0));
        ASSERT_NE(msg.m_Alloc, nullptr);
        EXPECT_EQ(msg.GetBuffSize(), 4);
        EXPECT_EQ(msg.m_MsgData, nullptr);
        ASSERT_TRUE(msg.Resize(2));
        ASSERT_NE(msg.m_Alloc, nullptr);
        EXPECT_EQ(msg.GetBuffSize(), 6);
        msg.SetHead(6, 2, 0, false, false, false);
    }
    const unsigned char expected[12] = {0x0C, 0x00, 0x04, 0x01, 'h', 'e', 'l', 'l', 'o', '!', '!', '!'};
    EXPECT_EQ(std::memcmp(buffer, expected, 12), 0);
}

TEST(VarietyMsg, ReleaseFreesOnceAndEmptiesTheObject) {
    YNetVarietyMsg msg(10);
    msg.Release();
    EXPECT_EQ(msg.m_Alloc, nullptr);
    EXPECT_EQ(msg.m_MsgHead, nullptr);
    EXPECT_EQ(msg.m_MsgData, nullptr);
    EXPECT_EQ(msg.GetBuffSize(), 0);
    msg.Release();
    msg.SetHead(4, 1, 1, false, false, false); // no head: nothing to write
    EXPECT_FALSE(msg.SetData(0, "x", 1));
    ASSERT_TRUE(msg.Resize(3)); // a released object allocates anew
    EXPECT_EQ(msg.GetBuffSize(), 7);
} // destruction frees the new block once

TEST(VarietyMsg, SetDataRefusesWritesOutsideAKnownBlock) {
    YNetVarietyMsg msg(10);
    std::memset(msg.m_MsgData, 0, 10);
    EXPECT_TRUE(msg.SetData(8, "ab", 2));
    EXPECT_FALSE(msg.SetData(8, "abc", 3));
    EXPECT_FALSE(msg.SetData(-1, "a", 1));
    EXPECT_FALSE(msg.SetData(0, "a", -1));
    EXPECT_FALSE(msg.SetData(INT_MAX, "a", 1));
    const unsigned char expected[10] = {0, 0, 0, 0, 0, 0, 0, 0, 'a', 'b'};
    EXPECT_EQ(std::memcmp(msg.m_MsgData, expected, 10), 0);

    YNetVarietyMsg noBody(0);
    EXPECT_FALSE(noBody.SetData(0, "a", 1));
}

TEST(VarietyMsg, ImpossibleSizesLeaveNothingToWriteThrough) {
    for (int size : {-1, -4, INT_MIN, INT_MAX, INT_MAX - 3}) {
        YNetVarietyMsg msg(size);
        EXPECT_EQ(msg.m_Alloc, nullptr) << size;
        EXPECT_EQ(msg.m_MsgHead, nullptr) << size;
        EXPECT_EQ(msg.m_MsgData, nullptr) << size;
        EXPECT_EQ(msg.GetBuffSize(), 0) << size;
        msg.SetHead(20, 5, 7, true, false, false);
        EXPECT_FALSE(msg.SetData(0, "abc", 3));
    }
    YNetVarietyMsg msg(4);
    unsigned char* const block = msg.m_Alloc;
    ASSERT_TRUE(msg.Resize(4));
    EXPECT_FALSE(msg.Resize(-2));
    EXPECT_FALSE(msg.Resize(INT_MAX));
    EXPECT_EQ(msg.m_Alloc, block);
    EXPECT_EQ(msg.GetDataSize(), 4);
    EXPECT_EQ(msg.GetBuffSize(), 8);
}

// AddressSanitizer turns any block freed twice, used after free or leaked
// into a failure of these tests.
TEST(VarietyMsg, CopiesDescribeTheBlockWithoutOwningIt) {
    YNetVarietyMsg owner(10);
    ASSERT_TRUE(owner.Resize(10));
    {
        YNetVarietyMsg copy(owner);
        EXPECT_EQ(copy.m_Alloc, nullptr);
        EXPECT_EQ(copy.m_MsgHead, owner.m_MsgHead);
        EXPECT_EQ(copy.m_MsgData, owner.m_MsgData);
        EXPECT_EQ(copy.GetBuffSize(), 14);
        EXPECT_EQ(copy.GetDataSize(), 10);
        YNetVarietyMsg assigned(20); // its own block is released by the assignment
        assigned = owner;
        EXPECT_EQ(assigned.m_Alloc, nullptr);
        EXPECT_EQ(assigned.m_MsgHead, owner.m_MsgHead);
        ASSERT_TRUE(copy.SetData(0, "0123456789", 10));
    }
    EXPECT_EQ(std::memcmp(owner.m_MsgData, "0123456789", 10), 0);

    // Assigning a view of the owner's own block back to it keeps it the owner.
    YNetVarietyMsg view(owner);
    owner = view;
    owner = std::move(view);
    EXPECT_NE(owner.m_Alloc, nullptr);
    YNetVarietyMsg& same = owner;
    owner = same;
    EXPECT_NE(owner.m_Alloc, nullptr);

    // A copy that outgrows the bytes takes a block of its own.
    YNetVarietyMsg grown(owner);
    ASSERT_TRUE(grown.Resize(100));
    ASSERT_NE(grown.m_Alloc, nullptr);
    EXPECT_NE(grown.m_MsgHead, owner.m_MsgHead);
    EXPECT_EQ(std::memcmp(owner.m_MsgData, "0123456789", 10), 0);
}

TEST(VarietyMsg, MovesHandTheBlockOver) {
    YNetVarietyMsg source(10);
    unsigned char* const block = source.m_Alloc;
    YNetVarietyMsg moved(std::move(source));
    EXPECT_EQ(moved.m_Alloc, block);
    EXPECT_EQ(moved.GetBuffSize(), 14);
    EXPECT_EQ(source.m_Alloc, nullptr);
    EXPECT_EQ(source.m_MsgHead, nullptr);

    YNetVarietyMsg target(30);
    target = std::move(moved);
    EXPECT_EQ(target.m_Alloc, block);
    EXPECT_EQ(moved.m_Alloc, nullptr);

    // The usual pattern: a temporary assigned into a container slot.
    std::vector<YNetVarietyMsg> messages;
    for (int i = 0; i < 40; ++i)
        messages.emplace_back(i); // reallocations move every element
    messages[3] = YNetVarietyMsg(100);
    EXPECT_EQ(messages[3].GetBuffSize(), 104);
    ASSERT_TRUE(messages[3].SetData(0, "x", 1));
    std::vector<YNetVarietyMsg> copies = messages; // views of the same blocks
    EXPECT_EQ(copies[3].m_Alloc, nullptr);
    EXPECT_EQ(copies[3].m_MsgHead, messages[3].m_MsgHead);
}

// An owner assigned a view of its own block describes the view (size
// unknown) and still owns the block: writes stay inside the block, and
// the same assignment again neither frees it nor leaves the object on it.
TEST(VarietyMsg, OwnerAssignedAViewOfItsBlockKeepsWritesInsideIt) {
    const unsigned char bytes[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    YNetVarietyMsg owner(10);
    unsigned char* const block = owner.m_Alloc;
    YNetVarietyMsg view(static_cast<void*>(owner.m_MsgHead));
    for (int round = 0; round < 2; ++round) {
        owner = view;
        ASSERT_EQ(owner.m_Alloc, block) << round;
        EXPECT_EQ(owner.GetBuffSize(), 0) << round;
        EXPECT_TRUE(owner.SetData(0, bytes, 10)) << round;
        EXPECT_FALSE(owner.SetData(0, bytes, 11)) << round;
        EXPECT_FALSE(owner.SetData(10, bytes, 1)) << round;
    }
    EXPECT_EQ(std::memcmp(block + 4, bytes, 10), 0);

    // A view whose head would end past the block: nothing is written.
    YNetVarietyMsg tail(static_cast<void*>(block + 12));
    owner = tail;
    ASSERT_EQ(owner.m_Alloc, block);
    owner.SetHead(4, 1, 1, false, false, false);
    EXPECT_FALSE(owner.SetData(0, bytes, 1));
    EXPECT_EQ(block[12], 9);
    EXPECT_EQ(block[13], 10);
} // destruction frees the block once

// Any sequence of copies, moves, assignments, views, Resize and Release:
// no two objects own one block, and every write an owner accepts lies in
// its block (AddressSanitizer checks each, and that each block is freed
// exactly once).
TEST(VarietyMsg, EverySequenceOfCopiesAndMovesKeepsOneOwnerPerBlock) {
    constexpr int kObjects = 4;
    std::vector<YNetVarietyMsg> objects;
    for (int i = 0; i < kObjects; ++i)
        objects.emplace_back(i * 3);
    unsigned char bytes[64];
    std::memset(bytes, 0x5A, sizeof bytes);
    unsigned state = 12345;
    auto next = [&state](unsigned range) {
        state = state * 1103515245u + 12345u;
        return (state >> 16) % range;
    };
    for (int step = 0; step < 4000; ++step) {
        YNetVarietyMsg& target = objects[next(kObjects)];
        YNetVarietyMsg& source = objects[next(kObjects)];
        switch (next(7)) {
        case 0:
            target = source;
            break;
        case 1:
            target = std::move(source);
            break;
        case 2:
            target = YNetVarietyMsg(source);
            break;
        case 3: // a view of bytes inside the source's block, if it owns one
            if (source.m_Alloc != nullptr)
                target = YNetVarietyMsg(static_cast<void*>(source.m_Alloc + next(source.GetBuffSize() + 1)));
            break;
        case 4:
            target.Resize(static_cast<int>(next(24)));
            break;
        case 5:
            target.Release();
            break;
        default:
            target = YNetVarietyMsg(static_cast<int>(next(24)));
            break;
        }
        for (int i = 0; i < kObjects; ++i) {
            if (objects[i].m_Alloc == nullptr)
                continue;
            for (int j = i + 1; j < kObjects; ++j)
                ASSERT_NE(objects[i].m_Alloc, objects[j].m_Alloc) << "step " << step;
            objects[i].SetHead(4, 1, 1, false, false, false);
            for (int length = 0; length <= 40; length += 3)
                objects[i].SetData(0, bytes, length);
        }
    }
}
