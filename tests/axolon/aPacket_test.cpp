#include "aPacket.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes sByteForm(const aPacket *p) {
    uint8_t buffer[aPACKET_MAXBYTES];
    size_t written = 0;
    EXPECT_EQ(aPacket_GetBytes(p, buffer, sizeof buffer, &written), aErrNone);
    return Bytes(buffer, buffer + written);
}

struct Feed {
    const char *name;
    Bytes bytes;
    std::vector<aErr> results;  // one per byte
    std::vector<bool> complete; // after each byte
};

const Feed kFeeds[] = {
    {"UeiRequest",
     {0x04, 0x03, 0x03, 0x41, 0x20},
     {aErrNone, aErrNone, aErrNone, aErrNone, aErrNone},
     {false, false, false, false, true}},
    {"ZeroLengthCompletesAtOnce", {0xAD, 0x00}, {aErrNone, aErrNone}, {false, true}},
    {"ZeroAddressRefusedAndSkipped",
     {0x00, 0x02, 0x01, 0x17},
     {aErrPacket, aErrNone, aErrNone, aErrNone},
     {false, false, false, true}},
    {"LengthAboveMaximum", {0x02, 29}, {aErrNone, aErrPacket}, {false, false}},
    {"ByteAfterCompletion",
     {0x02, 0x01, 0x17, 0x18},
     {aErrNone, aErrNone, aErrNone, aErrPacket},
     {false, false, true, true}},
};

class PacketAssembler : public ::testing::TestWithParam<Feed> {};

TEST_P(PacketAssembler, FeedsByteByByte) {
    const Feed &feed = GetParam();
    aPacket *p = aPacket_Create();
    ASSERT_NE(p, nullptr);
    for (size_t i = 0; i < feed.bytes.size(); ++i) {
        EXPECT_EQ(aPacket_AddByte(p, feed.bytes[i]), feed.results[i]) << "byte " << i;
        EXPECT_EQ(aPacket_IsComplete(p), feed.complete[i]) << "byte " << i;
    }
    EXPECT_EQ(aPacket_Destroy(&p), aErrNone);
}

INSTANTIATE_TEST_SUITE_P(, PacketAssembler, ::testing::ValuesIn(kFeeds),
                         [](const auto &param) { return std::string(param.param.name); });

TEST(Packet, AssembledPacketKeepsItsBytesInOrder) {
    aPacket *p = aPacket_Create();
    for (uint8_t byte : {0x04, 0x03, 0x03, 0x41, 0x20})
        ASSERT_EQ(aPacket_AddByte(p, byte), aErrNone);
    EXPECT_EQ(sByteForm(p), (Bytes{0x04, 0x03, 0x03, 0x41, 0x20}));
    ASSERT_EQ(aPacket_Reset(p), aErrNone);
    EXPECT_FALSE(aPacket_IsComplete(p));
    EXPECT_EQ(p->count, 0);
    EXPECT_EQ(p->address, 0);
    for (uint8_t byte : {0x06, 0x01, 0x49})
        ASSERT_EQ(aPacket_AddByte(p, byte), aErrNone);
    EXPECT_EQ(sByteForm(p), (Bytes{0x06, 0x01, 0x49}));
    aPacket_Destroy(&p);
}

TEST(Packet, ThirtyFirstByteOverruns) {
    aPacket *p = aPacket_Create();
    EXPECT_EQ(aPacket_AddByte(p, 0x02), aErrNone);
    EXPECT_EQ(aPacket_AddByte(p, 28), aErrNone);
    for (int i = 0; i < 28; ++i)
        ASSERT_EQ(aPacket_AddByte(p, static_cast<uint8_t>(i)), aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(p));
    // Keep feeding far past 256 bytes: the count must not wrap into accepting bytes again.
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(aPacket_AddByte(p, 0x55), aErrOverrun) << i;
    EXPECT_TRUE(aPacket_IsComplete(p));
    EXPECT_EQ(sByteForm(p)[29], 27);

    // A refused length leaves a packet that never completes and never writes past its data.
    ASSERT_EQ(aPacket_Reset(p), aErrNone);
    EXPECT_EQ(aPacket_AddByte(p, 0x02), aErrNone);
    EXPECT_EQ(aPacket_AddByte(p, 29), aErrPacket);
    for (int i = 0; i < 28; ++i)
        EXPECT_EQ(aPacket_AddByte(p, 0x11), aErrNone);
    EXPECT_EQ(aPacket_AddByte(p, 0x11), aErrOverrun);
    EXPECT_FALSE(aPacket_IsComplete(p));
    aPacket_Destroy(&p);
}

TEST(Packet, CreateWithDataLimits) {
    uint8_t data[29] = {};
    for (uint8_t i = 0; i < 29; ++i)
        data[i] = static_cast<uint8_t>(0xA0 + i);

    aPacket *empty = aPacket_CreateWithData(2, 0, data);
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(aPacket_IsComplete(empty));
    EXPECT_EQ(sByteForm(empty), (Bytes{2, 0}));
    uint8_t cmd = 0;
    EXPECT_EQ(aPacket_GetCmd(empty, &cmd), aErrPacket);
    aPacket_Destroy(&empty);

    EXPECT_EQ(aPacket_CreateWithData(2, 29, data), nullptr);
    EXPECT_EQ(aPacket_CreateWithData(2, 1, nullptr), nullptr);

    aPacket *full = aPacket_CreateWithData(2, 28, data);
    ASSERT_NE(full, nullptr);
    EXPECT_TRUE(aPacket_IsComplete(full));
    uint8_t buffer[30] = {};
    size_t written = 0;
    EXPECT_EQ(aPacket_GetBytes(full, buffer, 29, &written), aErrOverrun);
    EXPECT_EQ(aPacket_GetBytes(full, buffer, 30, &written), aErrNone);
    EXPECT_EQ(written, 30u);
    EXPECT_EQ(buffer[0], 2);
    EXPECT_EQ(buffer[1], 28);
    EXPECT_EQ(buffer[29], 0xA0 + 27);
    EXPECT_EQ(aPacket_GetBytes(full, nullptr, 30, &written), aErrParam);

    aPacket *copy = aPacket_Copy(full);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, full);
    EXPECT_EQ(sByteForm(copy), sByteForm(full));
    EXPECT_TRUE(aPacket_IsComplete(copy));
    aPacket_Destroy(&copy);
    aPacket_Destroy(&full);
}

TEST(Packet, FieldAccessorsMaskFlagsAndCheckLength) {
    const uint8_t data[] = {3, 0xC8, 0xA0};
    struct Case {
        uint8_t length;
        aErr cmd, option, index;
    };
    const Case cases[] = {
        {0, aErrPacket, aErrPacket, aErrPacket},
        {1, aErrNone, aErrPacket, aErrPacket},
        {2, aErrNone, aErrNone, aErrPacket},
        {3, aErrNone, aErrNone, aErrNone},
    };
    for (const Case &c : cases) {
        aPacket *p = aPacket_CreateWithData(4, c.length, data);
        uint8_t cmd = 0xFF, option = 0xFF, index = 0xFF;
        EXPECT_EQ(aPacket_GetCmd(p, &cmd), c.cmd) << int(c.length);
        EXPECT_EQ(aPacket_GetOption(p, &option), c.option) << int(c.length);
        EXPECT_EQ(aPacket_GetIndex(p, &index), c.index) << int(c.length);
        if (c.length == 3) {
            EXPECT_EQ(cmd, 3);
            EXPECT_EQ(option, 8);
            EXPECT_EQ(index, 0);
        }
        EXPECT_EQ(aPacket_GetCmd(p, nullptr), aErrParam);
        aPacket_Destroy(&p);
    }
}

TEST(Packet, ADestroyedPacketIsRefused) {
    aPacket *p = aPacket_Create();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(aPacket_Destroy(&p), aErrNone);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(aPacket_Destroy(&p), aErrParam);
    EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);

    // A record whose marker is gone (what Destroy leaves behind) is refused everywhere.
    aPacket stale{};
    uint8_t byte = 0, buffer[30];
    EXPECT_FALSE(aVALIDPACKET(&stale));
    EXPECT_EQ(aPacket_AddByte(&stale, 2), aErrParam);
    EXPECT_EQ(aPacket_Reset(&stale), aErrParam);
    EXPECT_EQ(aPacket_GetCmd(&stale, &byte), aErrPacket);
    EXPECT_EQ(aPacket_GetBytes(&stale, buffer, sizeof buffer, nullptr), aErrParam);
    EXPECT_FALSE(aPacket_IsComplete(&stale));
    EXPECT_EQ(aPacket_Copy(&stale), nullptr);
    aPacket *staleRef = &stale;
    EXPECT_EQ(aPacket_Destroy(&staleRef), aErrParam);
    EXPECT_EQ(staleRef, &stale);
}

} // namespace
