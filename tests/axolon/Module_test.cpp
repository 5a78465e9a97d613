// Module, Link and the entity classes against the virtual device over loopback TCP.
#include "I2CClass.h"
#include "MemoryStream.h"
#include "Module.h"
#include "SimDeviceProcess.h"
#include "SystemClass.h"
#include "TempDir.h"
#include "aLink.h"
#include "aLinkManagerInternal.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace Tervane::Axolon;
using namespace std::chrono_literals;

namespace {

constexpr auto kWait = 10s;
// What the virtual device reports (tools/sim/device/DeviceServices.h).
constexpr uint32_t kSimUptime = 3600;
constexpr uint32_t kSimIdentifierBase = 0xC0DE0000;
constexpr int32_t kSimTemperature = 25500;
const std::string kLongName = "a name longer than one packet of 24 bytes!";

linkSpec tcpSpec(uint32_t serial, const SimDeviceProcess &sim) {
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serialNumber = serial;
    spec.ipAddress = htonl(INADDR_LOOPBACK);
    spec.ipPort = sim.port();
    return spec;
}

struct Device {
    SimDeviceProcess sim;
    Module module;
    Device(uint32_t serial, std::vector<std::string> args, uint8_t address = 2, bool autoNetwork = true)
        : sim(SIM_DEVICE_EXE, withSerial(serial, std::move(args))), module(address, autoNetwork, 0) {}
    static std::vector<std::string> withSerial(uint32_t serial, std::vector<std::string> args) {
        char text[9];
        std::snprintf(text, sizeof text, "%08X", serial);
        args.insert(args.begin(), {"--serial", text});
        return args;
    }
};

TEST(LumenConfig, DefaultsShareAndFallBackOnLoopback) {
    LumenConfig config;
    EXPECT_TRUE(config.enabled);
    EXPECT_TRUE(config.fallback);
    EXPECT_TRUE(config.serverOption);
    EXPECT_EQ(config.port, 0);
    const uint8_t loopback[4] = {0x7F, 0, 0, 1};
    EXPECT_EQ(std::memcmp(&config.networkInterface, loopback, 4), 0);
}

TEST(Module, RefusesBeforeTouchingTheLink) {
    Module module(2, 0);
    EXPECT_EQ(module.connect(TCPIP, 0), aErrParam);
    EXPECT_EQ(module.getLink()->getLinkId(), 0u);
    EXPECT_EQ(module.getStatus(), 8u);
    for (uint8_t direction : {0xC0, 0x41, 0x01, 0x20})
        EXPECT_EQ(module.hasUEI(3, 8, 0, direction), aErrParam) << int(direction);
    uint32_t build = 0;
    EXPECT_EQ(module.getBuild(&build), aErrConnection);
    EXPECT_EQ(module.getBuild(nullptr), aErrParam);
    linkSpec spec{};
    EXPECT_EQ(module.getLinkSpecifier(&spec), aErrNotFound);
    EXPECT_EQ(module.enablePacketLog("/dev/null"), aErrConfiguration);
    Module unconnectedRouter(4, 0);
    EXPECT_EQ(module.connectThroughLinkModule(&unconnectedRouter), aErrInitialization);
    EXPECT_EQ(module.connectThroughLinkModule(nullptr), aErrInitialization);

    Link link("plain");
    EXPECT_EQ(link.connect(), aErrConfiguration);
    EXPECT_STREQ(link.getName(), "plain");
    uei record{};
    record.module = 2;
    EXPECT_EQ(link.sendUEI(record), aErrConnection);
    // Subsystem 11 is not built: its link types say so instead of pretending to connect.
    linkSpec lumen{};
    lumen.type = static_cast<linkType>(4);
    ASSERT_EQ(link.setLinkSpecifier(lumen), aErrNone);
    EXPECT_EQ(link.connect(), aErrUnimplemented);
    LumenConfig off;
    off.enabled = false;
    link.setConfig(off);
    EXPECT_EQ(link.connect(), aErrConfiguration);
    lumen.type = INVALID;
    link.setLinkSpecifier(lumen);
    EXPECT_EQ(link.connect(), aErrMode);
}

TEST(Entity, LocalChecksComeFirst) {
    SystemClass unbound;
    uint8_t byte = 0;
    EXPECT_EQ(unbound.getModel(&byte), aErrResource);
    uint8_t buffer[4];
    size_t received = 7;
    EXPECT_EQ(unbound.getUEIBytes(32, nullptr, 4, &received), aErrParam);
    EXPECT_EQ(unbound.getUEIBytes(32, buffer, 0, &received), aErrParam);
    EXPECT_EQ(unbound.getUEIBytes(32, buffer, 4, &received), aErrResource);
    EXPECT_EQ(received, 0u);
    Module module(2, 0);
    SystemClass system;
    system.init(&module, 0);
    EXPECT_EQ(system.getUEI32(9, static_cast<uint32_t *>(nullptr)), aErrParam);

    size_t count = 12;
    EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, 4), aErrNone);
    EXPECT_EQ(count, 3u);
    count = 10;
    EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, 4), aErrMemory);
    EXPECT_EQ(EntityClass::getUEIBytesCheck(nullptr, 4), aErrParam);

    I2CClass i2c;
    i2c.init(&module, 0);
    EXPECT_EQ(i2c.setSpeed(2), aErrNone);
    EXPECT_EQ(i2c.setSpeed(4), aErrParam);
    uint8_t speed = 0;
    i2c.getSpeed(&speed);
    EXPECT_EQ(speed, 2);
    const uint8_t bytes[24] = {};
    EXPECT_EQ(i2c.write(0x10, 24, bytes), aErrSize);
    EXPECT_EQ(i2c.read(0x10, 24, buffer), aErrSize);
}

TEST(ModuleOverTcp, SystemReadsBuildAndDeviceErrors) {
    Device d(0x40F5849A,
             {"--address", "4", "--model", "13", "--version", "2F020A05", "--build", "4711", "--name", kLongName});
    ASSERT_TRUE(d.sim.ready());
    ASSERT_EQ(d.module.connectFromSpec(tcpSpec(0x40F5849A, d.sim)), aErrNone);
    EXPECT_TRUE(d.module.isConnected());
    EXPECT_EQ(d.module.getModuleAddress(), 4); // learnt by who-are-you
    EXPECT_EQ(d.module.connectFromSpec(tcpSpec(0x40F5849A, d.sim)), aErrBusy);
    EXPECT_EQ(d.module.getLink()->connect(), aErrConnection);
    EXPECT_EQ(d.module.getLink()->setLinkSpecifier(tcpSpec(1, d.sim)), aErrBusy);
    EXPECT_EQ(d.module.setConfig(LumenConfig()), aErrMode);

    SystemClass system;
    system.init(&d.module, 0);
    uint8_t byte = 0;
    uint32_t word = 0;
    ASSERT_EQ(system.getModule(&byte), aErrNone);
    EXPECT_EQ(byte, 4);
    ASSERT_EQ(system.getRouter(&byte), aErrNone);
    EXPECT_EQ(byte, 0);
    ASSERT_EQ(system.getVersion(&word), aErrNone);
    EXPECT_EQ(word, 0x2F020A05u);
    ASSERT_EQ(system.getModel(&byte), aErrNone);
    EXPECT_EQ(byte, 13);
    ASSERT_EQ(system.getSerialNumber(&word), aErrNone);
    EXPECT_EQ(word, 0x40F5849Au);
    uint8_t name[64];
    size_t received = 0;
    ASSERT_EQ(system.getName(name, sizeof name, &received), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(name), received), kLongName);
    ASSERT_EQ(system.getUEI32(39, 2, &word), aErrNone); // sub-index as the request's value
    EXPECT_EQ(word, (0x40F5849Au ^ kSimIdentifierBase) + 2);
    int32_t temperature = 0;
    ASSERT_EQ(system.getTemperature(&temperature), aErrNone);
    EXPECT_EQ(temperature, kSimTemperature);
    EXPECT_EQ(system.getTemperature(nullptr), aErrParam);

    uint32_t build = 0;
    ASSERT_EQ(d.module.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 4711u);
    EXPECT_EQ(d.module.hasUEI(3, 8, 0, 0x40), aErrNone);
    EXPECT_EQ(d.module.hasUEI(9, 1, 0, 0x80), aErrInvalidOption);
    uint8_t count = 0xEE;
    ASSERT_EQ(d.module.classQuantity(3, &count), aErrNone);
    EXPECT_EQ(count, 1);
    const uint8_t echo[27] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14,
                              15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27};
    EXPECT_EQ(d.module.debug(echo, 27), aErrNone);

    // Errors come back as the device's own codes.
    EXPECT_EQ(system.getUEI8(5, &byte), aErrInvalidOption);
    EXPECT_EQ(system.setUEI32(9, 1), aErrPermission);
    SystemClass second;
    second.init(&d.module, 1);
    EXPECT_EQ(second.getModel(&byte), aErrIndexRange);

    // Writes round-trip, a bytes value of several packets included.
    ASSERT_EQ(system.setLED(7), aErrNone);
    ASSERT_EQ(system.getLED(&byte), aErrNone);
    EXPECT_EQ(byte, 7);
    const std::string renamed = "a new name that also needs more than one packet";
    ASSERT_EQ(system.setName(reinterpret_cast<const uint8_t *>(renamed.data()), renamed.size()), aErrNone);
    ASSERT_EQ(system.getName(name, sizeof name, &received), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(name), received), renamed);
    const uint32_t words[3] = {1, 0x01020304, 0xFFFFFFFF};
    ASSERT_EQ(system.setInputPowerBehaviorConfig(words, 3), aErrNone);
    uint32_t back[8] = {};
    ASSERT_EQ(system.getInputPowerBehaviorConfig(back, 8, &received), aErrNone);
    ASSERT_EQ(received, 3u);
    EXPECT_EQ(back[1], 0x01020304u);
    EXPECT_EQ(back[2], 0xFFFFFFFFu);

    // What went out: a get of option 8 is [3, 0x48, 0x20]; routeToMe(1) is [3, 0x94, 0x20, 1].
    ASSERT_EQ(system.routeToMe(1), aErrNone);
    EXPECT_TRUE(d.sim.waitForLine("REC PACKET 04 03 03 48 20", kWait));
    EXPECT_TRUE(d.sim.waitForLine("REC PACKET 04 04 03 94 20 01", kWait));
}

TEST(ModuleOverTcp, ReplyFiltersMatchOptionByteAndIndexExactly) {
    Device d(0x12340001, {"--address", "2", "--model", "19"});
    ASSERT_TRUE(d.sim.ready());
    ASSERT_EQ(d.module.connectFromSpec(tcpSpec(0x12340001, d.sim)), aErrNone);
    Link &link = *d.module.getLink();
    uei request{};
    request.module = 2;
    request.command = 3;
    request.option = 0x48;
    request.index = 0x20;
    ASSERT_EQ(link.sendUEI(request), aErrNone);
    uei reply{};
    // The reply carries option byte 0x08: neither the set acknowledgement nor index 1 take it...
    EXPECT_EQ(link.receiveUEI(2, 3, 0xC8, 0, &reply), aErrTimeout);
    EXPECT_EQ(link.receiveUEI(2, 3, 0x08, 1, &reply), aErrTimeout);
    // ...and it is still there for the right wait.
    ASSERT_EQ(link.receiveUEI(2, 3, 0x08, 0, &reply), aErrNone);
    EXPECT_EQ(reply.type, ueiTYPE_BYTE);
    EXPECT_EQ(reply.value.byteVal, 19);

    // A raw wait on [73] takes a module-information reply.
    const uint8_t infoRequest[] = {0xFF};
    ASSERT_EQ(link.sendPacket(2, 73, 1, infoRequest), aErrNone);
    const uint8_t match[] = {73};
    uint8_t n = 1, data[28];
    ASSERT_EQ(link.receivePacket(2, match, &n, data), aErrNone);
    EXPECT_EQ(n, 6);
    const uint8_t tooMany[28] = {};
    EXPECT_EQ(link.sendPacket(2, 73, 28, tooMany), aErrParam);
    EXPECT_EQ(link.sendPacket(3, 73, 1, infoRequest), aErrPacket);
    EXPECT_EQ(link.sendPacket(0, 73, 1, infoRequest), aErrPacket);
}

TEST(ModuleOverTcp, MultiPacketReadsKeepOrderAndReportShortfalls) {
    {
        // Pieces arrive last to first: the early last piece waits in the queue for its turn.
        Device d(0x12340002, {"--address", "2", "--name", kLongName, "--bytes-reversed"});
        ASSERT_TRUE(d.sim.ready());
        ASSERT_EQ(d.module.connectFromSpec(tcpSpec(0x12340002, d.sim)), aErrNone);
        SystemClass system;
        system.init(&d.module, 0);
        uint8_t name[64];
        size_t received = 0;
        ASSERT_EQ(system.getName(name, sizeof name, &received), aErrNone);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(name), received), kLongName);
        // Too small a buffer.
        EXPECT_EQ(system.getName(name, 10, &received), aErrMemory);
    }
    {
        Device d(0x12340003, {"--address", "2", "--name", kLongName, "--bytes-truncated"});
        ASSERT_TRUE(d.sim.ready());
        ASSERT_EQ(d.module.connectFromSpec(tcpSpec(0x12340003, d.sim)), aErrNone);
        SystemClass system;
        system.init(&d.module, 0);
        uint8_t name[64];
        size_t received = 0;
        EXPECT_EQ(system.getName(name, sizeof name, &received), aErrTimeout);
        EXPECT_EQ(received, 24u);
    }
}

TEST(ModuleOverTcp, SilentDeviceLeavesTheLinkButNoAddress) {
    Device d(0x12340004, {"--address", "6", "--silent"});
    ASSERT_TRUE(d.sim.ready());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(d.module.connectFromSpec(tcpSpec(0x12340004, d.sim)), aErrNotReady);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 4000ms);
    EXPECT_TRUE(d.module.isConnected());
    EXPECT_NE(d.module.getLink()->getLinkId(), 0u);
    EXPECT_EQ(d.module.getModuleAddress(), 2);

    // Without automatic networking the exchange is skipped.
    d.module.disconnect();
    d.module.setNetworkingMode(false);
    EXPECT_EQ(d.module.reconnect(), aErrNone);
    EXPECT_EQ(d.module.getModuleAddress(), 2);
}

TEST(ModuleOverTcp, AnswerFromAddressSixChangesTheModule) {
    Device d(0x12340005, {"--address", "6"}, 2);
    ASSERT_TRUE(d.sim.ready());
    ASSERT_EQ(d.module.connectFromSpec(tcpSpec(0x12340005, d.sim)), aErrNone);
    EXPECT_EQ(d.module.getModuleAddress(), 6);
}

TEST(ModuleOverTcp, DeviceBehindARouterSharesItsLink) {
    SimDeviceProcess sim(SIM_DEVICE_EXE, {"--serial", "D272031D", "--address", "4", "--routed", "11110000:6"});
    ASSERT_TRUE(sim.ready());
    Module router(2, 0);
    ASSERT_EQ(router.connectFromSpec(tcpSpec(0xD272031D, sim)), aErrNone);
    ASSERT_EQ(router.getModuleAddress(), 4);
    SystemClass routerSystem;
    routerSystem.init(&router, 0);

    Module device(6, false, 0);
    ASSERT_EQ(device.connectThroughLinkModule(&router), aErrNone);
    const uint32_t id = router.getLink()->getLinkId();
    EXPECT_EQ(device.getLink()->getLinkId(), id);
    EXPECT_EQ(aLinkTable_ChangeUseCount(id, 0), 2);
    EXPECT_EQ(device.connectThroughLinkModule(&router), aErrNone); // already connected
    EXPECT_EQ(aLinkTable_ChangeUseCount(id, 0), 2);

    SystemClass system;
    system.init(&device, 0);
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrTimeout); // not routed yet
    ASSERT_EQ(routerSystem.routeToMe(1), aErrNone);
    ASSERT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x11110000u);
    EXPECT_EQ(device.getModuleAddress(), 6);

    I2CClass i2c;
    i2c.init(&router, 0);
    i2c.setSpeed(3);
    const uint8_t zeros[2] = {0, 0};
    EXPECT_EQ(i2c.write(6, 2, zeros), aErrNone);
    EXPECT_EQ(i2c.write(8, 2, zeros), aErrNotFound); // nobody there: the device's status
    const uint8_t full[23] = {};
    EXPECT_EQ(i2c.write(6, 23, full), aErrNone);
    uint8_t readBack[4];
    EXPECT_EQ(i2c.read(6, 4, readBack), aErrNone);
    EXPECT_EQ(i2c.setPullup(true), aErrNone);
    EXPECT_TRUE(sim.waitForLine("REC I2C-WRITE 08 absent", kWait));

    ASSERT_EQ(routerSystem.routeToMe(0), aErrNone);
    EXPECT_EQ(system.getSerialNumber(&serial), aErrTimeout);

    // The router leaves; the device keeps the link.
    router.disconnect();
    EXPECT_EQ(aLinkTable_ChangeUseCount(id, 0), 1);
    EXPECT_TRUE(device.isConnected());
}

TEST(ModuleOverTcp, PacketLogWritesWhatTheLinkSent) {
    Device d(0x12340007, {"--address", "4"});
    ASSERT_TRUE(d.sim.ready());
    ASSERT_EQ(d.module.connectFromSpec(tcpSpec(0x12340007, d.sim)), aErrNone);
    TempDir dir;
    const std::string path = dir.file("packets.log");
    ASSERT_EQ(d.module.enablePacketLog(path.c_str()), aErrNone);
    const uint8_t echo[] = {0x01, 0xFF};
    ASSERT_EQ(d.module.debug(echo, 2), aErrNone);
    // The logger drains the log on its own thread; wait (bounded) for both directions.
    std::string text;
    for (int attempt = 0; attempt < 500; ++attempt) {
        text = readFile(path);
        if (text.find("5 > 0x4 0x3 0x17 0x1 0xFF \r\n") != std::string::npos &&
            text.find("5 < 0x4 0x3 0x17 0x1 0xFF \r\n") != std::string::npos)
            break;
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_NE(text.find("START"), std::string::npos) << text;
    EXPECT_NE(text.find("5 > 0x4 0x3 0x17 0x1 0xFF \r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("5 < 0x4 0x3 0x17 0x1 0xFF \r\n"), std::string::npos) << text;
    EXPECT_EQ(d.module.disablePacketLog(), aErrNone);
}

struct Callbacks {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::pair<uint8_t, uint32_t>> seen; // option, value
    std::vector<std::thread::id> threads;

    static uint8_t record(const aPacket *p, void *user) {
        Callbacks *self = static_cast<Callbacks *>(user);
        uint32_t value = 0;
        Link::getStreamSample(p, nullptr, &value, nullptr);
        std::lock_guard hold(self->lock);
        self->seen.emplace_back(p->data[1], value);
        self->threads.push_back(std::this_thread::get_id());
        self->changed.notify_all();
        return 0;
    }
    bool waitFor(size_t n) {
        std::unique_lock hold(lock);
        return changed.wait_for(hold, kWait, [&] { return seen.size() >= n; });
    }
};

TEST(ModuleOverTcp, StreamSamplesReachCallbacksAndTheCache) {
    Device d(0x12340006, {"--address", "2"});
    ASSERT_TRUE(d.sim.ready());
    ASSERT_EQ(d.module.connectFromSpec(tcpSpec(0x12340006, d.sim)), aErrNone);
    Link &link = *d.module.getLink();
    SystemClass system;
    system.init(&d.module, 0);

    EXPECT_EQ(link.registerStreamCallback(3, 3, 22, 0, true, Callbacks::record, nullptr), aErrParam);
    Callbacks exact;
    ASSERT_EQ(system.registerOptionCallback(22, true, Callbacks::record, &exact), aErrNone);
    ASSERT_TRUE(exact.waitFor(1));
    EXPECT_EQ(exact.seen[0], (std::pair<uint8_t, uint32_t>{22, kSimUptime}));
    EXPECT_NE(exact.threads[0], std::this_thread::get_id());
    bool on = false;
    ASSERT_EQ(link.isLinkStreaming(2, &on), aErrNone);
    EXPECT_TRUE(on);

    // The cache answers the get without asking the device: fresh once, then stale.
    uint32_t uptime = 0;
    EXPECT_EQ(system.getUptime(&uptime), aErrNone);
    EXPECT_EQ(uptime, kSimUptime);
    EXPECT_EQ(system.getUptime(&uptime), aErrStreamStale);
    EXPECT_EQ(uptime, kSimUptime);
    EXPECT_EQ(link.getStreamValue(2, 3, 27, 0, 0, &uptime), aErrNotFound);

    // A wildcard registration over every option: one callback per sample, cache entries for all.
    Callbacks any;
    ASSERT_EQ(link.registerStreamCallback(2, 3, 0xFF, 0, true, Callbacks::record, &any), aErrNone);
    ASSERT_TRUE(any.waitFor(7)); // options 4, 22, 27 and 39 with sub-indexes 0..3
    uint32_t word = 0;
    ASSERT_EQ(link.getStreamValue(2, 3, 39, 0, 2, &word), aErrNone);
    EXPECT_EQ(word, (0x12340006u ^ kSimIdentifierBase) + 2);
    StreamStatusEntry entries[16];
    size_t count = 0;
    ASSERT_EQ(link.getStreamStatus(2, 3, 39, 0, 3, entries, 16, &count), aErrNone);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(Link::getStreamKeyElement(entries[0].key, kStreamKeySubindex), 3);
    ASSERT_EQ(link.getStreamStatus(2, 3, 39, 0, 0xFF, entries, 16, &count), aErrNone);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(link.getStreamStatus(2, 3, 39, 0, 0xFF, entries, 3, &count), aErrSize);
    for (std::thread::id t : any.threads)
        EXPECT_NE(t, std::this_thread::get_id());

    // Disabling erases the registration with every sub-index.
    ASSERT_EQ(link.registerStreamCallback(2, 3, 39, 0, false, nullptr, nullptr), aErrNone);
    EXPECT_EQ(link.getStreamValue(2, 3, 39, 0, 2, &word), aErrNotFound);
}

// A device the test scripts byte for byte: a Link connects by serial number to the engine link
// made over a memory stream (the engine hands out the existing link of that serial number and
// type), so the test decides every packet the host receives.
struct ScriptedDevice {
    std::shared_ptr<MemoryLink> memory = std::make_shared<MemoryLink>();
    uint32_t id = 0;
    Link link{"scripted"};
    std::vector<uint8_t> pending; // host bytes not yet a whole packet (engine's writing thread)

    // Acknowledges stream control (command 93) and answers a get of system option 8 with 13.
    explicit ScriptedDevice(uint32_t serial) {
        memory->onWrite = [this](const uint8_t *bytes, size_t n) {
            pending.insert(pending.end(), bytes, bytes + n);
            while (pending.size() >= 2 && pending.size() >= 2u + pending[1]) {
                const std::vector<uint8_t> data(pending.begin() + 2, pending.begin() + 2 + pending[1]);
                const uint8_t address = pending[0];
                pending.erase(pending.begin(), pending.begin() + 2 + static_cast<long>(data.size()));
                answer(address, data);
            }
        };
        id = aLink_CreateFromStream(static_cast<int32_t>(serial), 0, 0, kLinkTypeSerial,
                                    MemoryLink::createStream(memory), aErrNone, false);
        linkSpec spec{};
        spec.type = SERIAL;
        spec.serialNumber = serial;
        spec.baudRate = 115200;
        std::strcpy(spec.portName, "memory");
        link.setLinkSpecifier(spec);
    }
    ~ScriptedDevice() {
        link.disconnect();
        aLink_Destroy(&id);
    }
    void send(uint8_t address, const std::vector<uint8_t> &data) {
        // Sized up front: GCC 12 at -O3 misreads an insert into a two-byte vector as out of bounds.
        std::vector<uint8_t> bytes(data.size() + 2);
        bytes[0] = address;
        bytes[1] = static_cast<uint8_t>(data.size());
        std::copy(data.begin(), data.end(), bytes.begin() + 2);
        memory->feed(bytes);
    }
    // On the engine's writing thread, for every packet the host sends.
    void answer(uint8_t address, const std::vector<uint8_t> &d) {
        if (address == 2 && d.size() == 7 && d[0] == 93 && (d[1] == 0x81 || d[1] == 0x82))
            send(2, {93, static_cast<uint8_t>(d[1] | 0xC0), 0});
        else if (address == 2 && d.size() == 3 && d[0] == 3 && d[1] == 0x48)
            send(2, {3, 0x08, 0, 13});
    }
};

// A stream sample of system option `option` from address 2: type 1 (byte) without sub-index,
// type 5 (byte) with one.
std::vector<uint8_t> _sample(uint8_t option, uint8_t value, int subindex = -1) {
    std::vector<uint8_t> d{3, option, 0x40, static_cast<uint8_t>(subindex < 0 ? 1 : 5)};
    if (subindex >= 0)
        d.push_back(static_cast<uint8_t>(subindex));
    d.insert(d.end(), {0, 0, 0, 0, 0, 0, 0, 1, value, 0});
    return d;
}

struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    bool open = false;
    bool reached = false;
};

TEST(StreamsOnScriptedDevice, CallbacksNeitherBlockTheReceiveThreadNorRepeat) {
    ScriptedDevice device(0x0B1E0001);
    ASSERT_EQ(device.link.connect(), aErrNone);
    ASSERT_EQ(device.link.getLinkId(), device.id);

    struct Seen {
        Callbacks calls;
        Gate gate;
    } seen;
    auto callback = [](const aPacket *p, void *user) -> uint8_t {
        Seen *s = static_cast<Seen *>(user);
        if (p->data[1] == 4) { // the first sample holds the callback thread until the test is done
            std::unique_lock hold(s->gate.lock);
            s->gate.reached = true;
            s->gate.changed.notify_all();
            s->gate.changed.wait_for(hold, kWait, [&] { return s->gate.open; });
        }
        return Callbacks::record(p, &s->calls);
    };
    ASSERT_EQ(device.link.registerStreamCallback(2, 3, 0xFF, 0, true, callback, &seen), aErrNone);
    device.send(2, _sample(4, 1));
    {
        std::unique_lock hold(seen.gate.lock);
        ASSERT_TRUE(seen.gate.changed.wait_for(hold, kWait, [&] { return seen.gate.reached; }));
    }
    // While a callback runs, replies still arrive: callbacks are not on the receive thread.
    uei request{};
    request.module = 2;
    request.command = 3;
    request.option = 0x48;
    request.index = 0x20;
    ASSERT_EQ(device.link.sendUEI(request), aErrNone);
    uei reply{};
    EXPECT_EQ(device.link.receiveUEI(2, 3, 0x08, 0, &reply), aErrNone);
    EXPECT_EQ(reply.value.byteVal, 13);
    {
        std::lock_guard hold(seen.gate.lock);
        seen.gate.open = true;
    }
    seen.gate.changed.notify_all();

    // Sub-index 0xFF makes the option-and-sub-index mask give the same key as the option mask:
    // the registration still hears the sample once. Option 22 comes after it, as a marker.
    device.send(2, _sample(39, 7, 0xFF));
    device.send(2, _sample(22, 9));
    ASSERT_TRUE(seen.calls.waitFor(3));
    std::lock_guard hold(seen.calls.lock);
    EXPECT_EQ(seen.calls.seen, (std::vector<std::pair<uint8_t, uint32_t>>{{4, 1}, {39, 7}, {22, 9}}));
}

TEST(StreamsOnScriptedDevice, CallbacksQueuedWhenStreamingStopsNeverRun) {
    ScriptedDevice device(0x0B1E0002);
    ASSERT_EQ(device.link.connect(), aErrNone);

    // The first callback waits until all four samples are queued, then stops streaming from the
    // callback thread: the three still queued belong to a registration that is gone.
    struct Stopper {
        Link *link;
        Callbacks calls;
    } first{&device.link, {}};
    auto stopAtFirst = [](const aPacket *p, void *user) -> uint8_t {
        Stopper *s = static_cast<Stopper *>(user);
        uint32_t value = 0;
        for (int attempt = 0; attempt < 1000; ++attempt) {
            if (s->link->getStreamValue(2, 3, 39, 0, 3, &value) != aErrNotFound)
                break;
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_EQ(s->link->registerStreamCallback(2, 3, 39, 0, false, nullptr, nullptr), aErrNone);
        return Callbacks::record(p, &s->calls);
    };
    ASSERT_EQ(device.link.registerStreamCallback(2, 3, 39, 0, true, stopAtFirst, &first), aErrNone);
    std::vector<uint8_t> burst;
    for (int sub = 0; sub < 4; ++sub) {
        const std::vector<uint8_t> d = _sample(39, static_cast<uint8_t>(sub), sub);
        burst.insert(burst.end(), {2, static_cast<uint8_t>(d.size())});
        burst.insert(burst.end(), d.begin(), d.end());
    }
    device.memory->feed(burst);
    ASSERT_TRUE(first.calls.waitFor(1));

    // Streaming again starts a new callback thread; only the new registration's callbacks run.
    Callbacks second;
    ASSERT_EQ(device.link.registerStreamCallback(2, 3, 39, 0, true, Callbacks::record, &second), aErrNone);
    device.memory->feed(burst);
    ASSERT_TRUE(second.waitFor(4));
    std::lock_guard hold(first.calls.lock);
    EXPECT_EQ(first.calls.seen.size(), 1u);
}

TEST(StreamKeys, ElementsMasksAndSamples) {
    const uint64_t key = Link::createStreamKey(0x04, 0x03, 0x16, 0x02, 0x05);
    EXPECT_EQ(key, 0x0504031602ull);
    EXPECT_EQ(Link::getStreamKeyElement(key, kStreamKeyAddress), 0x04);
    EXPECT_EQ(Link::getStreamKeyElement(key, kStreamKeyCommand), 0x03);
    EXPECT_EQ(Link::getStreamKeyElement(key, kStreamKeyOption), 0x16);
    EXPECT_EQ(Link::getStreamKeyElement(key, kStreamKeyIndex), 0x02);
    EXPECT_EQ(Link::getStreamKeyElement(key, kStreamKeySubindex), 0x05);
    EXPECT_EQ(Link::applyWildcardMask(key, 0), 0x05040316FFull);  // index only
    EXPECT_EQ(Link::applyWildcardMask(key, 1), 0x050403FF02ull);  // option only
    EXPECT_EQ(Link::applyWildcardMask(key, 7), 0xFF04031602ull);  // sub-index only
    EXPECT_EQ(Link::applyWildcardMask(key, 14), 0xFF04FFFFFFull); // all four, never the address

    // Type 7: sub-index 2, timestamp 0x00000001_00000002, value 0x0A0B0C0D, sequence 0.
    const uint8_t sample[] = {3, 39, 0x40, 7, 2, 0, 0, 0, 1, 0, 0, 0, 2, 0x0A, 0x0B, 0x0C, 0x0D, 0};
    aPacket *p = aPacket_CreateWithData(2, sizeof(sample), sample);
    ASSERT_TRUE(Link::isStreamSample(p));
    EXPECT_TRUE(Link::isSubindexType(Link::getStreamPacketType(p)));
    uint64_t ts = 0;
    uint32_t value = 0, high = 0, low = 0;
    uint8_t sub = 0;
    ASSERT_EQ(Link::getStreamSample(p, &ts, &value, &sub), aErrNone);
    EXPECT_EQ(value, 0x0A0B0C0Du);
    EXPECT_EQ(sub, 2);
    Link::getTimestampParts(ts, &high, &low);
    EXPECT_EQ(high, 1u);
    EXPECT_EQ(low, 2u);
    p->data[p->length - 1] = 0x81; // a later piece: bytes, not a sample
    EXPECT_EQ(Link::getStreamPacketType(p), kStreamTypeBytes);
    EXPECT_EQ(Link::getStreamSample(p, &ts, &value, &sub), aErrSize);
    p->data[p->length - 1] = 0;
    p->data[3] = 9;
    EXPECT_EQ(Link::getStreamSample(p, &ts, &value, &sub), aErrUnknown);
    p->data[3] = 3; // an int sample is one byte shorter
    EXPECT_FALSE(Link::isStreamSample(p));
    EXPECT_EQ(Link::getStreamSample(p, &ts, &value, &sub), aErrPacket);
    p->data[2] = 0x00; // no stream flag
    EXPECT_EQ(Link::getStreamSample(p, &ts, &value, &sub), aErrPacket);
    aPacket_Destroy(&p);
}

} // namespace
