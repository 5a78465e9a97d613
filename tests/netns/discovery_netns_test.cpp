// TCP/IP discovery against virtual devices on a private two-namespace network.
#include "NetnsTest.h"
#include "SimProcess.h"
#include "discover.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

uint32_t _address(const char *dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

struct Collected {
    std::vector<linkSpec> specs;
    size_t stopAfter = 0; // 0: never stop
    bool count = true;
};

bool _collect(const linkSpec *spec, bool *counted, void *reference) {
    Collected *c = static_cast<Collected *>(reference);
    c->specs.push_back(*spec);
    *counted = c->count;
    return c->stopAfter == 0 || c->specs.size() < c->stopAfter;
}

class DiscoveryNetns : public NetnsTest {
  protected:
    // A virtual device in the device namespace; returns once it listens.
    void startDevice(const std::vector<std::string> &args) {
        devices_.push_back(std::make_unique<SimProcess>(net_->wrapperExe(), net_->inDevice(SIM_DISCOVERY_EXE, args)));
    }

    std::vector<std::unique_ptr<SimProcess>> devices_; // stopped before the namespaces go
};

TEST_F(DiscoveryNetns, ReplyBecomesSpecifierWithSenderAddressAfterAtLeastTwoSeconds) {
    startDevice({"--serial", "12345678", "--module", "4", "--port", "9000", "--model", "0x13"});
    Collected found;
    const auto start = Clock::now();
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, _collect, &found, aDISCOVERY_ALL_INTERFACES), 1);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(aDISCOVERY_LISTEN_MS));
    // One IPv4 interface besides loopback: one query, one answer.
    ASSERT_EQ(found.specs.size(), 1u);
    const linkSpec &spec = found.specs[0];
    EXPECT_EQ(spec.type, TCPIP);
    EXPECT_EQ(spec.serialNumber, 0x12345678u);
    EXPECT_EQ(spec.module, 4u);
    EXPECT_EQ(spec.router, 4u);
    EXPECT_EQ(spec.routerSerialNumber, 0x12345678u);
    EXPECT_EQ(spec.model, 0x13u);
    EXPECT_EQ(spec.ipPort, 9000u);
    EXPECT_EQ(spec.ipAddress, _address(NetnsPair::kDeviceAddress));
}

TEST_F(DiscoveryNetns, TwelveByteReplyGivesModel255) {
    startDevice({"--serial", "0A0B0C0D", "--model", "5", "--reply-length", "12"});
    Collected found;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, _collect, &found, aDISCOVERY_ALL_INTERFACES), 1);
    ASSERT_EQ(found.specs.size(), 1u);
    EXPECT_EQ(found.specs[0].serialNumber, 0x0A0B0C0Du);
    EXPECT_EQ(found.specs[0].model, 255u);
}

TEST_F(DiscoveryNetns, TwoDevicesAreBothReportedOnce) {
    startDevice({"--serial", "11111111", "--module", "2", "--port", "9001"});
    startDevice({"--serial", "22222222", "--module", "6", "--port", "9002"});
    Collected found;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, _collect, &found, aDISCOVERY_ALL_INTERFACES), 2);
    std::vector<uint32_t> serials;
    for (const linkSpec &spec : found.specs)
        serials.push_back(spec.serialNumber);
    std::sort(serials.begin(), serials.end());
    EXPECT_EQ(serials, (std::vector<uint32_t>{0x11111111, 0x22222222}));
}

TEST_F(DiscoveryNetns, CallbackEndsEnumerationAndDecidesTheCount) {
    startDevice({"--serial", "11111111"});
    startDevice({"--serial", "22222222"});
    for (bool count : {true, false}) {
        Collected found;
        found.stopAfter = 1;
        found.count = count;
        EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, _collect, &found, aDISCOVERY_ALL_INTERFACES), count ? 1 : 0);
        EXPECT_EQ(found.specs.size(), 1u);
    }
}

TEST_F(DiscoveryNetns, QueryOnOneNamedInterfaceOrLoopbackMeaningAll) {
    startDevice({"--serial", "12345678", "--module", "4", "--port", "9000"});
    for (uint32_t networkInterface : {_address(NetnsPair::kHostAddress), _address("127.0.0.1")}) {
        Collected found;
        EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, _collect, &found, networkInterface), 1);
        ASSERT_EQ(found.specs.size(), 1u);
        EXPECT_EQ(found.specs[0].serialNumber, 0x12345678u);
    }
}

TEST_F(DiscoveryNetns, FindModuleDeliversTheWholeSpecifierOrNull) {
    startDevice({"--serial", "11111111", "--module", "2", "--port", "9001", "--model", "13"});
    startDevice({"--serial", "22222222", "--module", "6", "--port", "9002", "--model", "14"});
    linkSpec *spec = aDiscovery_FindModule(TCPIP, 0x22222222, aDISCOVERY_ALL_INTERFACES);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->type, TCPIP);
    EXPECT_EQ(spec->serialNumber, 0x22222222u);
    EXPECT_EQ(spec->module, 6u);
    EXPECT_EQ(spec->router, 6u);
    EXPECT_EQ(spec->model, 14u);
    EXPECT_EQ(spec->ipPort, 9002u);
    EXPECT_EQ(spec->ipAddress, _address(NetnsPair::kDeviceAddress));
    aLinkSpec_Destroy(&spec);

    const auto start = Clock::now();
    EXPECT_EQ(aDiscovery_FindModule(TCPIP, 0x33333333, aDISCOVERY_ALL_INTERFACES), nullptr);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(aDISCOVERY_LISTEN_MS));

    spec = aDiscovery_FindFirstModule(TCPIP, aDISCOVERY_ALL_INTERFACES);
    ASSERT_NE(spec, nullptr);
    EXPECT_TRUE(spec->serialNumber == 0x11111111u || spec->serialNumber == 0x22222222u);
    aLinkSpec_Destroy(&spec);
}

TEST_F(DiscoveryNetns, NoDeviceNoSpecifier) {
    Collected found;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, _collect, &found, aDISCOVERY_ALL_INTERFACES), 0);
    EXPECT_TRUE(found.specs.empty());
}

} // namespace
