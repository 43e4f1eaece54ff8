#include <gtest/gtest.h>

#include "message/EndConnectMsg.h"
#include "message/YNetMsgHead.h"

#include <array>
#include <cstring>

using YNet2::EndConnectMsg;
using YNet2::YNetMsgHead;

namespace {

typedef std::array<unsigned char, 4> Bytes;

Bytes BytesOf(const YNetMsgHead& head) {
    Bytes bytes;
    std::memcpy(bytes.data(), &head, 4);
    return bytes;
}

YNetMsgHead HeadOf(Bytes bytes) {
    YNetMsgHead head;
    std::memcpy(&head, bytes.data(), 4);
    return head;
}

EndConnectMsg g_StaticEndMarker; // zeroed static storage, as the shared instance

} // namespace

TEST(MessageHead, SetHeadPacksTheWireBytes) {
    YNetMsgHead head;
    head.SetHead(20, 5, 7, true, false, false);
    EXPECT_EQ(BytesOf(head), (Bytes{0x14, 0x00, 0x15, 0x07}));
    EXPECT_EQ(head.GetSize(), 20);
    EXPECT_EQ(head.GetMainID(), 5);
    EXPECT_EQ(head.GetAssistantID(), 7);
    EXPECT_TRUE(head.IsRequestMsg());
    EXPECT_FALSE(head.IsRespondMsg());
    EXPECT_FALSE(head.IsOrdinal());
    EXPECT_FALSE(head.IsEndConnect());

    head.SetHead(20, 5, 7, true, false, true);
    EXPECT_EQ(BytesOf(head), (Bytes{0x14, 0x80, 0x15, 0x07}));
    EXPECT_EQ(head.GetSize(), 20);
    EXPECT_TRUE(head.IsOrdinal());
}

TEST(MessageHead, SetHeadCutsValuesThatDoNotFit) {
    YNetMsgHead head;
    head.SetHead(0xFFFF, 0xFF, 0xAB, false, true, false);
    EXPECT_EQ(BytesOf(head), (Bytes{0xFF, 0x7F, 0xFE, 0xAB}));
    EXPECT_EQ(head.GetSize(), 0x7FFF);
    EXPECT_FALSE(head.IsOrdinal());
    EXPECT_EQ(head.GetMainID(), 63);
    EXPECT_TRUE(head.IsRespondMsg());
    EXPECT_FALSE(head.IsRequestMsg());
}

TEST(MessageHead, SetSizeKeepsTheOrdinalFlagAndIgnoresBit15OfItsArgument) {
    YNetMsgHead head;
    head.Clear();
    head.SetSize(0x8005);
    EXPECT_EQ(head.GetSize(), 5);
    EXPECT_FALSE(head.IsOrdinal());
    EXPECT_EQ(BytesOf(head), (Bytes{0x05, 0x00, 0x00, 0x00}));

    head.Ordinal();
    head.SetSize(0x8005);
    EXPECT_EQ(head.GetSize(), 5);
    EXPECT_TRUE(head.IsOrdinal());
    head.SetSize(1440);
    EXPECT_EQ(BytesOf(head), (Bytes{0xA0, 0x85, 0x00, 0x00}));
}

TEST(MessageHead, SetMainIDDropsTheTopBitsAndKeepsTheFlags) {
    YNetMsgHead head = HeadOf({0x14, 0x00, 0x03, 0x07});
    head.SetMainID(0x41);
    EXPECT_EQ(head.GetMainID(), 1);
    EXPECT_TRUE(head.IsRequestMsg());
    EXPECT_TRUE(head.IsRespondMsg());
    EXPECT_EQ(BytesOf(head), (Bytes{0x14, 0x00, 0x07, 0x07}));
}

TEST(MessageHead, FlagSettersSetOneBitEach) {
    YNetMsgHead head;
    head.Clear();
    head.SetAssistantID(0xC3);
    head.Request();
    EXPECT_EQ(BytesOf(head), (Bytes{0x00, 0x00, 0x01, 0xC3}));
    head.Respond();
    EXPECT_EQ(BytesOf(head), (Bytes{0x00, 0x00, 0x03, 0xC3}));
    head.Clear();
    EXPECT_EQ(BytesOf(head), (Bytes{0x00, 0x00, 0x00, 0x00}));
}

TEST(MessageHead, EndConnectIsMainIDZeroWhateverTheRest) {
    EXPECT_TRUE(HeadOf({0x04, 0x00, 0x03, 0x00}).IsEndConnect());
    EXPECT_FALSE(HeadOf({0x04, 0x00, 0x04, 0x00}).IsEndConnect());
    EXPECT_TRUE(HeadOf({0xA0, 0x85, 0x00, 0xFF}).IsEndConnect());
}

TEST(MessageHead, OrdinalSetsBit15AndLeavesTheSize) {
    YNetMsgHead head = HeadOf({0x14, 0x00, 0x15, 0x07});
    head.Ordinal();
    EXPECT_EQ(BytesOf(head), (Bytes{0x14, 0x80, 0x15, 0x07}));
    EXPECT_EQ(head.GetSize(), 20);
}

TEST(MessageHead, EndMarkerReadsAsHeadOnlyEndOfConnection) {
    EXPECT_EQ(BytesOf(g_StaticEndMarker), (Bytes{0x04, 0x00, 0x00, 0x00}));

    // On storage that held something else, the marker is the same 4 bytes.
    alignas(EndConnectMsg) unsigned char storage[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EndConnectMsg* marker = new (storage) EndConnectMsg;
    const YNetMsgHead* head = marker;
    EXPECT_EQ(BytesOf(*head), (Bytes{0x04, 0x00, 0x00, 0x00}));
    EXPECT_EQ(head->GetSize(), 4);
    EXPECT_EQ(head->GetMainID(), 0);
    EXPECT_EQ(head->GetAssistantID(), 0);
    EXPECT_FALSE(head->IsRequestMsg() || head->IsRespondMsg() || head->IsOrdinal());
    EXPECT_TRUE(head->IsEndConnect());
}
