#include "DiscoveryResponder.h"
#include "discover.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <vector>

namespace {

const std::vector<uint8_t> kGoldenReply = {0x00, 0x04, 0x28, 0x23, 0x78, 0x56, 0x34, 0x12,
                                           0x00, 0x00, 0x00, 0x00, 0x13, 0x00, 0x00, 0x00};

uint32_t _address(const char *dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

TEST(Discovery, ReplyBecomesTcpipSpecifier) {
    linkSpec spec;
    ASSERT_TRUE(aDiscovery_ParseReply(kGoldenReply.data(), kGoldenReply.size(), _address("192.168.1.20"), &spec));
    EXPECT_EQ(spec.type, TCPIP);
    EXPECT_EQ(spec.serialNumber, 0x12345678u);
    EXPECT_EQ(spec.module, 4u);
    EXPECT_EQ(spec.router, 4u);
    EXPECT_EQ(spec.routerSerialNumber, 0x12345678u);
    EXPECT_EQ(spec.model, 0x13u);
    EXPECT_EQ(spec.ipPort, 9000u);
    EXPECT_EQ(spec.ipAddress, _address("192.168.1.20"));
}

TEST(Discovery, ReplyWithoutModelByteGivesModel255AndTooShortIsIgnored) {
    linkSpec spec;
    ASSERT_TRUE(aDiscovery_ParseReply(kGoldenReply.data(), 12, 0, &spec));
    EXPECT_EQ(spec.model, 255u);
    EXPECT_EQ(spec.serialNumber, 0x12345678u);
    ASSERT_TRUE(aDiscovery_ParseReply(kGoldenReply.data(), 13, 0, &spec));
    EXPECT_EQ(spec.model, 0x13u);
    // Fewer than 8 bytes carry no serial number: the specifier is left alone.
    std::memset(&spec, 0xA5, sizeof(spec));
    EXPECT_FALSE(aDiscovery_ParseReply(kGoldenReply.data(), 7, 0, &spec));
    EXPECT_EQ(spec.serialNumber, 0xA5A5A5A5u);
    EXPECT_FALSE(aDiscovery_ParseReply(nullptr, 16, 0, &spec));
}

TEST(Discovery, ResponderWritesTheGoldenReply) {
    sim::DiscoveryIdentity identity;
    identity.module = 4;
    identity.tcpPort = 9000;
    identity.serial = 0x12345678;
    identity.model = 0x13;
    EXPECT_EQ(sim::discoveryReply(identity), kGoldenReply);
    identity.replyLength = 12;
    EXPECT_EQ(sim::discoveryReply(identity), std::vector<uint8_t>(kGoldenReply.begin(), kGoldenReply.begin() + 12));

    uint8_t query[16] = {1};
    EXPECT_TRUE(sim::isDiscoveryQuery(query, 16));
    EXPECT_FALSE(sim::isDiscoveryQuery(query, 15));
    query[0] = 2;
    EXPECT_FALSE(sim::isDiscoveryQuery(query, 16));
}

TEST(Discovery, TypesNeverDiscoveredAnswerZeroWithoutCallback) {
    int calls = 0;
    auto callback = [](const linkSpec *, bool *counted, void *ref) {
        ++*static_cast<int *>(ref);
        *counted = true;
        return true;
    };
    for (uint32_t type : {0u, 3u, 4u, 7u, 8u, 0xFFFFFFFFu})
        EXPECT_EQ(aDiscovery_EnumerateModules(static_cast<linkType>(type), callback, &calls, 0), 0) << type;
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(aDiscovery_FindModule(SERIAL, 0x12345678, 0), nullptr);
}

TEST(LinkSpec, CreateCopyDestroy) {
    linkSpec *spec = aLinkSpec_Create(TCPIP);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->type, TCPIP);
    EXPECT_EQ(spec->serialNumber, 0u);
    EXPECT_EQ(spec->ipPort, 0u);
    spec->serialNumber = 0x40F5849A;
    spec->ipAddress = 0x0100007F;
    linkSpec *copy = aLinkSpec_Copy(*spec);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, spec);
    EXPECT_EQ(std::memcmp(copy, spec, sizeof(linkSpec)), 0);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
    EXPECT_EQ(spec, nullptr);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);
    EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
    EXPECT_EQ(copy->serialNumber, 0x40F5849Au);
    aLinkSpec_Destroy(&copy);
}

} // namespace
