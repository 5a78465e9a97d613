// The link engine against the virtual device process, over TCP and over a
// pseudo-terminal with the packetized framing.
#include "SimDeviceProcess.h"
#include "Eventually.h"
#include "aLink.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <thread>

using namespace std::chrono_literals;

namespace {

struct PacketDeleter {
    void operator()(aPacket *p) const { aPacket_Destroy(&p); }
};
using Packet = std::unique_ptr<aPacket, PacketDeleter>;

constexpr auto kWait = 10s;

bool isEcho(const aPacket *p, void *ref) {
    return p->length >= 2 && p->data[0] == 23 && p->data[1] == *static_cast<uint8_t *>(ref);
}

// Sends a debug echo to address 4 and waits for it to come back.
bool echoes(uint32_t id, uint8_t tag) {
    const uint8_t data[3] = {23, tag, 0x5A};
    Packet request(aPacket_CreateWithData(4, 3, data));
    if (aLink_PutPacket(id, request.get()) != aErrNone)
        return false;
    Packet reply(aLink_AwaitFirst(id, isEcho, &tag, 5000));
    return reply && reply->length == 3 && reply->data[2] == 0x5A;
}

uint32_t tcpLink(uint32_t serial, const SimDeviceProcess &sim) {
    return aLink_CreateTCPIP(serial, htonl(INADDR_LOOPBACK), sim.port());
}

} // namespace

TEST(LinkOverTcp, ForceRoutesHeartbeatsAndEcho) {
    SimDeviceProcess sim(SIM_DEVICE_EXE, {"--serial", "40F5849A", "--heartbeat-ms", "20"});
    ASSERT_TRUE(sim.ready());
    uint32_t id = tcpLink(0x40F5849A, sim);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(sim.waitForLine("REC FORCEROUTE 1", kWait));
    EXPECT_TRUE(sim.waitForLine("REC HEARTBEAT-ANSWER 3 ok", kWait, 2));
    EXPECT_EQ(sim.count("REC HEARTBEAT-ANSWER 2 bad") + sim.count("REC HEARTBEAT-ANSWER 3 bad"), 0u);
    EXPECT_TRUE(echoes(id, 1));
    Packet stray(aLink_GetPacket(id));
    EXPECT_FALSE(stray) << "heartbeats must not reach the inbound queue";
    ASSERT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_TRUE(sim.waitForLine("REC FORCEROUTE 0", kWait));
}

TEST(LinkOverTcp, OneLinkPerDeviceSharedUntilTheLastUserLeaves) {
    SimDeviceProcess sim(SIM_DEVICE_EXE, {"--serial", "11112222"});
    ASSERT_TRUE(sim.ready());
    uint32_t first = tcpLink(0x11112222, sim);
    uint32_t second = tcpLink(0x11112222, sim);
    ASSERT_NE(first, 0u);
    EXPECT_EQ(second, first);
    ASSERT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_TRUE(echoes(first, 2));
    EXPECT_EQ(sim.count("REC FORCEROUTE 0"), 0u);
    ASSERT_EQ(aLink_Destroy(&first), aErrNone);
    EXPECT_TRUE(sim.waitForLine("REC FORCEROUTE 0", kWait));
    EXPECT_EQ(sim.count("CONNECTED"), 1u);
}

TEST(LinkOverTcp, GarbageAtConnectLeadsToSynchronisation) {
    SimDeviceProcess sim(SIM_DEVICE_EXE, {"--serial", "22223333", "--garbage", "3", "--address", "6"});
    ASSERT_TRUE(sim.ready());
    uint32_t id = tcpLink(0x22223333, sim);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(sim.waitForLine("REC PROBE", kWait, 2));
    EXPECT_TRUE(eventually([&] { return aLink_GetStatus(id) == kLinkStateRunning; }, kWait));
    const uint8_t data[3] = {23, 7, 0x5A};
    Packet request(aPacket_CreateWithData(6, 3, data));
    ASSERT_EQ(aLink_PutPacket(id, request.get()), aErrNone);
    uint8_t tag = 7;
    Packet reply(aLink_AwaitFirst(id, isEcho, &tag, 5000));
    EXPECT_TRUE(reply);
    aLink_Destroy(&id);
}

TEST(LinkOverTcp, DeviceThatAnswersFromAnOddAddressNeverSynchronises) {
    SimDeviceProcess sim(SIM_DEVICE_EXE, {"--serial", "22224444", "--garbage", "1", "--odd-address"});
    ASSERT_TRUE(sim.ready());
    const auto start = std::chrono::steady_clock::now();
    uint32_t id = tcpLink(0x22224444, sim);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(sim.waitForLine("REC PROBE", kWait, 18)); // at least three rounds
    EXPECT_EQ(aLink_GetStatus(id), static_cast<uint32_t>(kLinkStateSyncing));
    // Wrong answers restart the state machine but do not multiply the probes:
    // a round of six at most every quarter second since the link began. The
    // device reports probes late, never early, so a slow machine cannot fail this.
    const size_t probes = sim.count("REC PROBE");
    const auto elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LE(probes, static_cast<size_t>(6 * (elapsedMs / 250 + 2)));
    aLink_Destroy(&id);
}

TEST(LinkOverTcp, DroppedConnectionGivesStatusSixThenANewRound) {
    // FR[1] and two echoes, then the device closes the connection and refuses
    // new ones for a while: the engine reconnects at once, so without the
    // refusal its status 6 would last only one retry pause, too short to be
    // sure of seeing on a loaded machine.
    SimDeviceProcess sim(SIM_DEVICE_EXE, {"--serial", "33334444", "--drop-after", "3", "--refuse-after-drop", "1500"});
    ASSERT_TRUE(sim.ready());
    uint32_t id = tcpLink(0x33334444, sim);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(echoes(id, 1));
    const uint8_t data[3] = {23, 2, 0x5A};
    Packet request(aPacket_CreateWithData(4, 3, data));
    ASSERT_EQ(aLink_PutPacket(id, request.get()), aErrNone);
    EXPECT_TRUE(sim.waitForLine("DROPPED", kWait));
    EXPECT_TRUE(eventually([&] { return aLink_GetStatus(id) == kLinkStateIOError; }, kWait));
    const size_t probesBefore = sim.count("REC PROBE");
    EXPECT_TRUE(sim.waitForLine("LISTENING", kWait));
    EXPECT_TRUE(sim.waitForLine("CONNECTED", kWait, 2));
    EXPECT_TRUE(sim.waitForLine("REC PROBE", kWait, probesBefore + 1)); // a new round, not the old one
    EXPECT_TRUE(eventually([&] { return aLink_GetStatus(id) == kLinkStateRunning; }, kWait));
    EXPECT_TRUE(echoes(id, 3));
    aLink_Destroy(&id);
}

TEST(LinkOverSerial, PacketizedLinkOverAPseudoTerminal) {
    SimDeviceProcess sim(SIM_DEVICE_EXE, {"--pty", "--serial", "44445555", "--heartbeat-ms", "20"});
    ASSERT_TRUE(sim.ready());
    uint32_t id = aLink_CreateSerial(0x44445555, sim.endpoint().c_str(), 115200);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(sim.waitForLine("REC FORCEROUTE 1", kWait));
    EXPECT_TRUE(sim.waitForLine("REC HEARTBEAT-ANSWER 3 ok", kWait, 2));
    EXPECT_TRUE(echoes(id, 9));
    Packet stray(aLink_GetPacket(id));
    EXPECT_FALSE(stray);
    EXPECT_EQ(sim.count("REC BADFRAME"), 0u);
    ASSERT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_TRUE(sim.waitForLine("REC FORCEROUTE 0", kWait));
}
