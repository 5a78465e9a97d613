#include "aUEI.h"

#include <cstring>
#include <gtest/gtest.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

aPacket *sPacket(const Bytes &data) {
    return aPacket_CreateWithData(4, static_cast<uint8_t>(data.size()), data.data());
}

TEST(UEI, ValuesAreBigEndianOnAnyHost) {
    const uint8_t wire[] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(aUEI_RetrieveInt(wire), 305419896u);
    EXPECT_EQ(aUEI_RetrieveShort(wire), 0x1234);

    uint8_t buffer[4] = {};
    aUEI_StoreInt(buffer, 0xA1B2C3D4);
    EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{0xA1, 0xB2, 0xC3, 0xD4}));
    aUEI_StoreShort(buffer, 0xFE01);
    EXPECT_EQ(Bytes(buffer, buffer + 2), (Bytes{0xFE, 0x01}));

    uint8_t words[] = {0x00, 0x00, 0x01, 0x02, 0x80, 0x00, 0x00, 0x01};
    aUEI_ModifyIntBuffer(words, 2);
    uint32_t host[2];
    memcpy(host, words, sizeof host);
    EXPECT_EQ(host[0], 0x0102u);
    EXPECT_EQ(host[1], 0x80000001u);
}

TEST(UEI, PayloadKinds) {
    struct Case {
        Bytes data;
        bool notUei, stream;
    };
    const Case cases[] = {
        {{3, 0x08, 0x20}, false, false},
        {{0, 1}, true, false},
        {{73, 0xFF}, true, false},
        {{95, 3}, true, false},
        {{173}, true, false},
        {{175, 1}, true, false},
        {{8, 0, 0x10, 1, 0}, true, false},
        {{9, 0}, true, false},
        {{24, 0}, true, false},
        {{94, 0}, true, false},
        {{92, 0x80, 0x20, 0, 0, 0, 1}, false, false},
        {{3, 0x05, 0x40, 0, 7}, false, true},  // stream: no get/set flag, index bit 6
        {{3, 0x45, 0x40, 0, 7}, false, false}, // a get reply is not a stream packet
        {{3, 0x85, 0x40, 0, 7}, false, false}, // nor a set
        {{3, 0x05, 0x40, 7}, false, false},    // 4 bytes is too short
        {{23, 0x05, 0x40, 0, 7}, true, false}, // raw command
    };
    for (const Case &c : cases) {
        aPacket *p = sPacket(c.data);
        EXPECT_EQ(aUEI_isNotUEIPayload(p), c.notUei) << int(c.data[0]);
        EXPECT_EQ(aUEI_isUEIPayload(p), !c.notUei) << int(c.data[0]);
        EXPECT_EQ(aUEI_isStreamPacket(p), c.stream) << int(c.data[0]) << " " << int(c.data[1]);
        aPacket_Destroy(&p);
    }
    EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
    EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

TEST(UEI, BytesSequenceByteIsTheLastDataByte) {
    Bytes data(28, 0x11);
    data.back() = 0x85;
    aPacket *full = sPacket(data);
    EXPECT_EQ(aUEI_getBytesSequence(full), 5);
    EXPECT_EQ(aUEI_getBytesContinue(full), 1);
    EXPECT_TRUE(aUEI_getBytesFullPacket(full));
    aPacket_Destroy(&full);

    aPacket *last = sPacket({95, 0x8A, 0x20, 0x11, 0x11, 0x7F});
    EXPECT_EQ(aUEI_getBytesSequence(last), 0x7F);
    EXPECT_EQ(aUEI_getBytesContinue(last), 0);
    EXPECT_FALSE(aUEI_getBytesFullPacket(last));
    aPacket_Destroy(&last);

    Bytes subIndexed(27, 0x01);
    aPacket *p27 = sPacket(subIndexed);
    EXPECT_TRUE(aUEI_getBytesFullPacket(p27));
    aPacket_Destroy(&p27);

    EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
    EXPECT_EQ(aUEI_getBytesContinue(nullptr), 0);
    EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));
}

struct BytesValue {
    size_t length;
    std::vector<uint8_t> sequenceBytes;
    std::vector<size_t> valueBytes;
};

TEST(UEI, BytesValueIsCutIntoPiecesOf24) {
    const BytesValue cases[] = {
        {50, {0x80, 0x81, 0x02}, {24, 24, 2}}, {24, {0x00}, {24}}, {25, {0x80, 0x01}, {24, 1}},
        {48, {0x80, 0x01}, {24, 24}},          {1, {0x00}, {1}},   {0, {0x00}, {0}},
    };
    for (const BytesValue &c : cases) {
        Bytes value(c.length);
        for (size_t i = 0; i < value.size(); ++i)
            value[i] = static_cast<uint8_t>(i);
        std::vector<aPacket *> packets;
        ASSERT_EQ(aUEI_BuildBytesPackets(6, 95, 0x8A, 0x20, value.data(), value.size(), packets), aErrNone);
        ASSERT_EQ(packets.size(), c.sequenceBytes.size()) << c.length;
        Bytes joined;
        for (size_t n = 0; n < packets.size(); ++n) {
            aPacket *p = packets[n];
            EXPECT_TRUE(aPacket_IsComplete(p));
            EXPECT_EQ(p->address, 6);
            ASSERT_EQ(p->length, c.valueBytes[n] + 4) << c.length << " packet " << n;
            EXPECT_EQ(Bytes(p->data, p->data + 3), (Bytes{95, 0x8A, 0x20}));
            EXPECT_EQ(p->data[p->length - 1], c.sequenceBytes[n]) << c.length << " packet " << n;
            joined.insert(joined.end(), p->data + 3, p->data + p->length - 1);
            aPacket_Destroy(&packets[n]);
        }
        EXPECT_EQ(joined, value) << c.length;
    }
}

TEST(UEI, BytesSequenceNumberWrapsAt128) {
    Bytes value(24 * 130, 0xEE);
    std::vector<aPacket *> packets;
    ASSERT_EQ(aUEI_BuildBytesPackets(2, 3, 0x80, 0x20, value.data(), value.size(), packets), aErrNone);
    ASSERT_EQ(packets.size(), 130u);
    EXPECT_EQ(aUEI_getBytesSequence(packets[127]), 127);
    EXPECT_EQ(aUEI_getBytesSequence(packets[128]), 0);
    EXPECT_EQ(aUEI_getBytesContinue(packets[128]), 1);
    EXPECT_EQ(packets[129]->data[27], 0x01);
    for (aPacket *&p : packets)
        aPacket_Destroy(&p);
}

TEST(UEI, BytesValueWithoutDataIsRefused) {
    std::vector<aPacket *> packets;
    EXPECT_EQ(aUEI_BuildBytesPackets(2, 3, 0x80, 0x20, nullptr, 5, packets), aErrParam);
    EXPECT_TRUE(packets.empty());
    EXPECT_EQ(aUEI_BuildBytesPackets(2, 3, 0x80, 0x20, nullptr, 0, packets), aErrNone);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0]->length, 4);
    aPacket_Destroy(&packets[0]);
}

} // namespace
