// The link engine over a stream in memory: bytes fed by the test, or a device
// model at the far end.
#include "DeviceModel.h"
#include "Eventually.h"
#include "MemoryStream.h"
#include "aLink.h"
#include "aLinkManagerInternal.h"
#include "aLogger.h"
#include "aPacketDebug.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

struct PacketDeleter {
    void operator()(aPacket *p) const { aPacket_Destroy(&p); }
};
using Packet = std::unique_ptr<aPacket, PacketDeleter>;

Packet make(uint8_t address, std::vector<uint8_t> data) {
    data.reserve(1);
    return Packet(aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data()));
}

// Sends a debug echo to `address` and waits for it to come back.
bool echoesThrough(uint32_t id, uint8_t address) {
    auto request = make(address, {23, 0x77});
    if (aLink_PutPacket(id, request.get()) != aErrNone)
        return false;
    Packet reply(aLink_AwaitFirst(
        id, [](const aPacket *p, void *) { return p->length == 2 && p->data[0] == 23 && p->data[1] == 0x77; }, nullptr,
        5000));
    return reply != nullptr;
}

// How often the packet's bytes occur in `bytes` at packet boundaries is not
// tracked; a plain search is enough for the short, distinctive packets used.
size_t occurrences(const std::vector<uint8_t> &bytes, const std::vector<uint8_t> &needle) {
    size_t n = 0;
    for (size_t i = 0; i + needle.size() <= bytes.size(); ++i)
        if (std::equal(needle.begin(), needle.end(), bytes.begin() + static_cast<long>(i)))
            ++n;
    return n;
}

int32_t gNextSerial = 0x1000;

class LinkOnMemory : public ::testing::Test {
  protected:
    void SetUp() override {
        memory = std::make_shared<MemoryLink>();
        memory->holdWrites(holdWritesFromStart);
        serial = gNextSerial++;
        id = aLink_CreateFromStream(serial, 0, 0, kLinkTypeSerial, MemoryLink::createStream(memory), aErrNone, false);
        ASSERT_NE(id, 0u);
    }
    void TearDown() override {
        if (id) {
            EXPECT_EQ(aLink_Destroy(&id), aErrNone);
        }
    }
    bool written(const std::vector<uint8_t> &needle, size_t times = 1) {
        return memory->waitForWritten([&](const auto &w) { return occurrences(w, needle) >= times; }, 5s);
    }
    std::shared_ptr<MemoryLink> memory;
    int32_t serial = 0;
    uint32_t id = 0;
    // Set by fixtures that must catch the very first write of the link.
    bool holdWritesFromStart = false;
};

// The writing thread is held inside its first write (the start's force-route)
// from the moment the link exists, so packets queued meanwhile pile up.
class PooledLinkOnMemory : public LinkOnMemory {
  protected:
    PooledLinkOnMemory() { holdWritesFromStart = true; }
};

} // namespace

TEST_F(LinkOnMemory, StartSendsForceRouteOneAndStopSendsZeroLast) {
    ASSERT_TRUE(written({0xAF, 0x01, 0x01}));
    EXPECT_EQ(aLink_GetStatus(id), static_cast<uint32_t>(kLinkStateRunning));
    ASSERT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_EQ(id, 0u);
    const auto w = memory->written();
    ASSERT_GE(w.size(), 3u);
    EXPECT_EQ(std::vector<uint8_t>(w.end() - 3, w.end()), (std::vector<uint8_t>{0xAF, 0x01, 0x00}));
    EXPECT_TRUE(memory->deleted());
}

struct SyncCase {
    const char *name;
    std::vector<uint8_t> answers;
    uint8_t address; // synchronised with this module address
    size_t rounds;   // probe rounds (of six) at least
};

class LinkSync : public LinkOnMemory, public ::testing::WithParamInterface<SyncCase> {};

TEST_P(LinkSync, ProbeAnswersDecide) {
    ASSERT_TRUE(written({0xAF, 0x01, 0x01}));
    memory->feed({0x05}); // an odd address: out of step, so a round starts
    ASSERT_TRUE(written({0xAD, 0x00}, 6));
    EXPECT_EQ(aLink_GetStatus(id), static_cast<uint32_t>(kLinkStateSyncing));
    memory->feed(GetParam().answers);
    ASSERT_TRUE(eventually([&] { return aLink_GetStatus(id) == kLinkStateRunning; }));
    EXPECT_EQ(aLinkTable_GetLink(id)->syncAddress, GetParam().address);
    EXPECT_GE(occurrences(memory->written(), {0xAD, 0x00}), 6 * GetParam().rounds);
    Packet stray(aLink_GetPacket(id));
    EXPECT_FALSE(stray) << "answers used by the synchronisation must not be queued";
}

INSTANTIATE_TEST_SUITE_P(
    , LinkSync,
    ::testing::Values(SyncCase{"TwoAnswersInARow", {0x04, 0x00, 0x04, 0x00}, 4, 1},
                      // The second answer names another address: no match, and
                      // the next byte starts a new round.
                      SyncCase{"AddressChanges", {0x04, 0x00, 0x06, 0x00, 0x08, 0x00, 0x08, 0x00}, 8, 1},
                      // The state machine restarts at once; the answers to the
                      // probes already sent complete it.
                      SyncCase{"OddFirstAnswerRestartsAtOnce", {0x05, 0x04, 0x00, 0x04, 0x00}, 4, 1}),
    [](const auto &p) { return std::string(p.param.name); });

TEST_F(LinkOnMemory, HeartbeatsAreAnsweredAndKeptOutOfTheInboundQueue) {
    ASSERT_TRUE(written({0xAF, 0x01, 0x01}));
    memory->feed({0x04, 0x02, 0x00, 0x01});
    ASSERT_TRUE(written({0x04, 0x02, 0x00, 0x03}));
    memory->feed({0x04, 0x02, 0x00, 0x05});
    ASSERT_TRUE(written({0x04, 0x02, 0x00, 0x07}));
    // First data byte 0 but three data bytes: an ordinary packet.
    memory->feed({0x04, 0x03, 0x00, 0x01, 0x02});
    Packet p(aLink_AwaitPacket(id, 5000));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->length, 3);
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

namespace {
bool consumeFromSix(const aPacket *p, void *ref) {
    if (p->address != 6)
        return false;
    ++*static_cast<int *>(ref);
    return true;
}
} // namespace

TEST_F(LinkOnMemory, UserFilterSeesPacketsFirst) {
    int consumed = 0;
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, consumeFromSix, &consumed), aErrNone);
    memory->feed({0x06, 0x02, 0x00, 0x01, 0x06, 0x01, 0x17, 0x04, 0x01, 0x17});
    Packet p(aLink_AwaitPacket(id, 5000));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->address, 4);
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, nullptr, nullptr), aErrNone);
    EXPECT_EQ(consumed, 2); // read after removal: the reading thread no longer calls it
    // An answer to the consumed heartbeat would have been queued before this marker.
    ASSERT_EQ(aLink_PutPacket(id, make(4, {0x3C}).get()), aErrNone);
    ASSERT_TRUE(written({0x04, 0x01, 0x3C}));
    EXPECT_EQ(occurrences(memory->written(), {0x06, 0x02, 0x00, 0x03}), 0u);
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

TEST_F(PooledLinkOnMemory, PacketsGoOutInBatchesOfAtMost4096Bytes) {
    ASSERT_TRUE(memory->waitForHeldWrite(5s)); // the force-route packet of the start
    ASSERT_EQ(aLink_EnablePooledPackets(id, true), aErrNone);
    for (int i = 0; i < 200; ++i) {
        std::vector<uint8_t> data(28, static_cast<uint8_t>(i));
        ASSERT_EQ(aLink_PutPacket(id, make(4, data).get()), aErrNone);
    }
    memory->holdWrites(false);
    ASSERT_TRUE(memory->waitForWritten([](const auto &w) { return w.size() >= 3 + 200 * 30; }, 5s));
    EXPECT_EQ(memory->writeSizes(), (std::vector<size_t>{3, 4080, 1920}));
    const auto w = memory->written();
    for (int i = 0; i < 200; ++i) // in order, each whole
        ASSERT_EQ(w[3 + 30 * i + 2], static_cast<uint8_t>(i)) << i;
}

TEST_F(LinkOnMemory, ReadErrorsSetStatusSixAndAwaitFirstAnswersAtOnce) {
    memory->failReads(aErrIO);
    ASSERT_TRUE(eventually([&] { return aLink_GetStatus(id) == kLinkStateIOError; }));
    const auto start = std::chrono::steady_clock::now();
    Packet p(aLink_AwaitFirst(
        id, [](const aPacket *, void *) { return true; }, nullptr, 5000));
    EXPECT_FALSE(p);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    // Recovery goes through a synchronisation round.
    memory->failReads(aErrNone);
    ASSERT_TRUE(written({0xAD, 0x00}, 6));
    memory->feed({0x04, 0x00, 0x04, 0x00});
    EXPECT_TRUE(eventually([&] { return aLink_GetStatus(id) == kLinkStateRunning; }));
}

TEST_F(LinkOnMemory, AwaitFirstFindsTheMatchingReply) {
    memory->feed({0x04, 0x01, 0x10, 0x04, 0x01, 0x20});
    uint8_t want = 0x20;
    Packet p(aLink_AwaitFirst(
        id, [](const aPacket *q, void *ref) { return q->data[0] == *static_cast<uint8_t *>(ref); }, &want, 5000));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->data[0], 0x20);
    EXPECT_EQ(aLink_DrainPackets(
                  id, [](const aPacket *, void *) { return true; }, nullptr),
              1u);
}

TEST(LinkTable, IdsAreNeverReusedAndSharingCountsUsers) {
    auto a = std::make_shared<MemoryLink>();
    auto b = std::make_shared<MemoryLink>();
    auto c = std::make_shared<MemoryLink>();
    uint32_t first =
        aLink_CreateFromStream(0x7001, 0, 0, kLinkTypeSerial, MemoryLink::createStream(a), aErrNone, false);
    uint32_t second =
        aLink_CreateFromStream(0x7002, 0, 0, kLinkTypeSerial, MemoryLink::createStream(b), aErrNone, false);
    ASSERT_NE(first, 0u);
    EXPECT_EQ(second, first + 1);
    ASSERT_EQ(aLink_Destroy(&first), aErrNone);
    uint32_t third =
        aLink_CreateFromStream(0x7003, 0, 0, kLinkTypeSerial, MemoryLink::createStream(c), aErrNone, false);
    EXPECT_EQ(third, second + 1);

    // Same device and type: the same link, one user more; the extra stream is closed.
    auto extra = std::make_shared<MemoryLink>();
    uint32_t shared =
        aLink_CreateFromStream(0x7002, 0, 0, kLinkTypeSerial, MemoryLink::createStream(extra), aErrNone, false);
    EXPECT_EQ(shared, second);
    EXPECT_TRUE(extra->deleted());
    ASSERT_EQ(aLink_Destroy(&shared), aErrNone);
    EXPECT_EQ(shared, 0u);
    EXPECT_EQ(aLink_GetStatus(second), static_cast<uint32_t>(kLinkStateRunning));
    EXPECT_FALSE(b->deleted());
    const uint32_t secondId = second;
    ASSERT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_TRUE(b->deleted());
    EXPECT_EQ(aLink_GetStatus(secondId), static_cast<uint32_t>(kLinkStateInvalid));
    uint32_t gone = secondId;
    EXPECT_EQ(aLink_Destroy(&gone), aErrParam);
    EXPECT_EQ(gone, 0u);
    EXPECT_EQ(aLink_PutPacket(secondId, make(4, {1}).get()), aErrParam);
    EXPECT_EQ(aLink_ForceRoute(secondId, 1), aErrNotFound);
    aLink_Destroy(&third);
}

TEST(LinkCreate, FailuresGiveNoLink) {
    EXPECT_EQ(aLink_CreateSerial(1, "/dev/does-not-exist-axolon", 115200), 0u);
    EXPECT_EQ(aLink_CreateSerial(1, "/dev/null", 12345), 0u);
    EXPECT_EQ(aLink_CreateFromStream(0x7100, 0, 0, kLinkTypeSerial, nullptr, aErrNotFound, false), 0u);
}

// --- the device model at the far end ---

class LinkWithDevice : public ::testing::Test {
  protected:
    // Wires a device model behind a memory stream and runs a link over it.
    uint32_t connect(const simdevice::Options &options, bool sync) {
        model = std::make_unique<simdevice::DeviceModel>(options);
        memory = std::make_shared<MemoryLink>();
        model->connected(now());
        memory->onWrite = [this](const uint8_t *bytes, size_t length) {
            std::lock_guard lock(modelLock);
            model->receive(bytes, length, now());
            memory->feed(model->takeOutput());
        };
        memory->onIdle = [this] {
            std::lock_guard lock(modelLock);
            model->tick(now());
            memory->feed(model->takeOutput());
        };
        return aLink_CreateFromStream(gNextSerial++, 0, 0, kLinkTypeSerial, MemoryLink::createStream(memory), aErrNone,
                                      sync);
    }
    void TearDown() override {
        if (id)
            aLink_Destroy(&id);
    }
    static uint64_t now() {
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
                .count());
    }
    template <typename F> auto withModel(F f) {
        std::lock_guard lock(modelLock);
        return f(*model);
    }
    size_t probesSeen() {
        std::lock_guard lock(modelLock);
        for (auto &r : model->takeRecords())
            probes += r.text == "PROBE";
        return probes;
    }
    std::mutex modelLock;
    std::unique_ptr<simdevice::DeviceModel> model;
    std::shared_ptr<MemoryLink> memory;
    uint32_t id = 0;
    size_t probes = 0;
};

TEST_F(LinkWithDevice, HeartbeatsAnsweredAndEchoReturns) {
    simdevice::Options options;
    options.identity.moduleAddress = 4;
    options.heartbeatMs = 20;
    id = connect(options, false);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(eventually([&] { return withModel([](auto &m) { return m.heartbeatAnswersGood() >= 4; }); }));
    EXPECT_EQ(withModel([](auto &m) { return m.heartbeatAnswersBad(); }), 0u);
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
    ASSERT_EQ(aLink_PutPacket(id, make(4, {23, 0xAB, 0xCD}).get()), aErrNone);
    Packet reply(aLink_AwaitFirst(
        id, [](const aPacket *p, void *) { return p->data[0] == 23; }, nullptr, 5000));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->length, 3);
    EXPECT_EQ(reply->data[2], 0xCD);
    ASSERT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_EQ(withModel([](auto &m) { return m.forceRoutes(); }), (std::vector<uint8_t>{1, 0}));
}

// The creation of a link that is synchronised before use (as over USB).
TEST_F(LinkWithDevice, SyncAtCreationEndsWithTheDevicesAnswers) {
    simdevice::Options options;
    options.identity.moduleAddress = 6;
    id = connect(options, true);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_GetStatus(id), static_cast<uint32_t>(kLinkStateRunning));
    EXPECT_EQ(aLinkTable_GetLink(id)->syncAddress, 6);
    EXPECT_GE(probesSeen(), 2u);
    EXPECT_TRUE(echoesThrough(id, 6));
}

TEST_F(LinkWithDevice, SyncWithASilentDeviceGivesNoLink) {
    simdevice::Options options;
    options.faults.silent = true;
    const auto start = std::chrono::steady_clock::now();
    id = connect(options, true);
    EXPECT_EQ(id, 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2s); // the device had its two seconds
    EXPECT_TRUE(memory->deleted());
    EXPECT_GE(probesSeen(), 6u);
}

// --- packet log and logger ---

TEST(PacketLog, KeepsTheNewestRecordsThatFit) {
    aPacketLog *log = aPacketLog_Create(64);
    ASSERT_NE(log, nullptr);
    uint8_t bytes[70] = {};
    for (uint8_t i = 0; i < 8; ++i) {
        bytes[0] = i;
        ASSERT_EQ(aPacketLog_Put(log, kPacketLogSent, 10, bytes), aErrNone);
    }
    EXPECT_EQ(aPacketLog_Put(log, kPacketLogSent, 70, bytes), aErrOverrun);
    std::vector<uint8_t> firsts;
    uint8_t direction, length = sizeof bytes;
    while (aPacketLog_Get(log, &direction, &length, bytes) == aErrNone) {
        EXPECT_EQ(length, 10);
        firsts.push_back(bytes[0]);
        length = sizeof bytes;
    }
    EXPECT_EQ(firsts, (std::vector<uint8_t>{3, 4, 5, 6, 7}));
    aPacketLog_Destroy(&log);
}

TEST(PacketLog, TooSmallBufferLeavesTheRecord) {
    aPacketLog *log = aPacketLog_Create(128);
    uint8_t bytes[20] = {9};
    ASSERT_EQ(aPacketLog_Put(log, kPacketLogReceived, 20, bytes), aErrNone);
    uint8_t direction = 0, length = 16, out[20];
    EXPECT_EQ(aPacketLog_Get(log, &direction, &length, out), aErrOverrun);
    EXPECT_EQ(length, 20);
    length = 20;
    EXPECT_EQ(aPacketLog_Get(log, &direction, &length, out), aErrNone);
    EXPECT_EQ(direction, kPacketLogReceived);
    EXPECT_EQ(out[0], 9);
    length = 20;
    EXPECT_EQ(aPacketLog_Get(log, &direction, &length, out), aErrNotFound);
    aPacketLog_Destroy(&log);
}

TEST_F(LinkOnMemory, PacketLogRecordsTrafficAndTheLoggerWritesLines) {
    ASSERT_TRUE(written({0xAF, 0x01, 0x01})); // sent before the log exists
    EXPECT_EQ(aLink_PacketDebug_Read(id, nullptr, nullptr, nullptr), aErrNotReady);
    ASSERT_EQ(aLink_PacketDebug_SetLogSize(id, 1024), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 2048), aErrBusy);
    memory->feed({0x04, 0x01, 0x55});
    Packet in(aLink_AwaitPacket(id, 5000));
    ASSERT_TRUE(in);
    ASSERT_EQ(aLink_PutPacket(id, make(4, {0x01, 0xFF}).get()), aErrNone);
    ASSERT_TRUE(written({0x04, 0x02, 0x01, 0xFF}));

    TempDir dir;
    const std::string path = dir.file("packets.log");
    aLoggerRef logger =
        aLogger_Create(reinterpret_cast<void *>(static_cast<uintptr_t>(id)), aPacketDebug_LogRecord, path.c_str());
    ASSERT_NE(logger, nullptr);
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    // The received packet, then the sent one, each as a line of its own.
    const std::string received = "3 < 0x4 0x1 0x55 \r\n", sent = "4 > 0x4 0x2 0x1 0xFF \r\n";
    auto inOrder = [&] {
        const std::string text = readFile(path);
        const auto at = text.find(received);
        return at != std::string::npos && text.find(sent, at) != std::string::npos;
    };
    EXPECT_TRUE(eventually(inOrder)) << readFile(path);
    // A long text record does not hold up the records behind it.
    const std::string text(100, 'x');
    ASSERT_EQ(aLink_PacketDebug_Write(id, kPacketLogText, static_cast<uint8_t>(text.size()),
                                      reinterpret_cast<const uint8_t *>(text.data())),
              aErrNone);
    memory->feed({0x04, 0x01, 0x66});
    Packet later(aLink_AwaitPacket(id, 5000));
    ASSERT_TRUE(later);
    EXPECT_TRUE(eventually([&] {
        const std::string t = readFile(path);
        const auto at = t.find("100 < " + text + "\r\n");
        return at != std::string::npos && t.find("3 < 0x4 0x1 0x66 \r\n", at) != std::string::npos;
    })) << readFile(path);
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(logger, nullptr);
}
