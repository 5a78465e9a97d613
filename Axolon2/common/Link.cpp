// Lock order: the process-wide creation mutex covers one engine-link creation and nothing else.
// `streamLock` is a leaf: it is held by the stream filter on the engine's reading thread (under
// the engine's user-filter lock) and by the application's stream calls, never while calling
// into the engine.
#include "Link.h"

#include "aDefs.h"
#include "aLink.h"
#include "aLogger.h"
#include "aPacketDebug.h"
#include "aTime.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace Tervane {
namespace Axolon {

namespace {

constexpr uint32_t kReplyWaitMs = 1000;
constexpr uint32_t kLongReplyWaitMs = 4000;
constexpr size_t kLongBytesValue = 1000;
constexpr int kConnectPolls = 200; // of 10 ms
constexpr uint32_t kConnectPollMs = 10;
constexpr size_t kMaxName = 1024;
constexpr uint8_t kMaxRawData = aPACKET_MAXDATA - 1; // the command takes one byte
constexpr size_t kAsyncSlots = 500;                  // one stays free: 499 callbacks at most

// Stream control on command 93.
constexpr uint8_t kStreamEnableOption = 0x81;
constexpr uint8_t kStreamDisableOption = 0x82;
constexpr uint8_t kStreamQueryOption = 0x41;

std::mutex sCreationLock; // serialises every engine-link creation of the process

struct PacketDeleter {
    void operator()(aPacket *p) const { aPacket_Destroy(&p); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

bool sValidModuleAddress(uint8_t address) { return address != 0 && (address & 1) == 0; }

bool sUEIFilter(const aPacket *p, void *reference) {
    const UEIMatch *m = static_cast<const UEIMatch *>(reference);
    return p->address == m->address && p->length > 2 && p->data[0] == m->command && p->data[1] == m->option &&
           (p->data[2] & ueiINDEX_MASK) == m->index;
}

struct RawMatch {
    const uint8_t *bytes;
    uint8_t n;
};

bool sRawFilter(const aPacket *p, void *reference) {
    const RawMatch *m = static_cast<const RawMatch *>(reference);
    return p->length >= m->n && (m->n == 0 || std::memcmp(p->data, m->bytes, m->n) == 0);
}

bool sWhoAreYouAnswer(const aPacket *p, void *) { return p->length == 0; }

// Fills a record from an accepted UEI reply.
void sDecodeUEIReply(const aPacket *p, uei *record) {
    record->index = p->data[2];
    if (p->data[2] & ueiINDEX_ERROR) {
        record->value.intVal = 0;
        record->value.byteVal = p->length > 3 ? p->data[3] : static_cast<uint8_t>(aErrUnknown);
        return;
    }
    switch (p->length) {
    case ueiLENGTH_VOID:
        record->type = ueiTYPE_VOID;
        break;
    case ueiLENGTH_BYTE:
        record->type = ueiTYPE_BYTE;
        record->value.intVal = 0;
        record->value.byteVal = p->data[3];
        break;
    case ueiLENGTH_SHORT:
        record->type = ueiTYPE_SHORT;
        record->value.intVal = 0;
        record->value.shortVal = aUEI_RetrieveShort(&p->data[3]);
        break;
    case ueiLENGTH_INT:
        record->type = ueiTYPE_INT;
        record->value.intVal = aUEI_RetrieveInt(&p->data[3]);
        break;
    default:
        break; // matches, but carries no typed value
    }
}

// Value bytes of a record of type none, byte, short or int, big-endian; false for other types.
bool sValueBytes(const uei &record, uint8_t *out, uint8_t *n) {
    switch (record.type) {
    case ueiTYPE_VOID:
        *n = 0;
        return true;
    case ueiTYPE_BYTE:
        out[0] = record.value.byteVal;
        *n = 1;
        return true;
    case ueiTYPE_SHORT:
        aUEI_StoreShort(out, record.value.shortVal);
        *n = 2;
        return true;
    case ueiTYPE_INT:
        aUEI_StoreInt(out, record.value.intVal);
        *n = 4;
        return true;
    default:
        return false;
    }
}

const uint8_t kSampleLength[8] = {0, 14, 15, 17, 0, 15, 16, 18};

} // namespace

struct StreamEntry {
    uint64_t key = 0;
    bool fresh = false;
    StreamCallback callback;
    void *user = nullptr;
    uint32_t value = 0;
};

struct AsyncPacket {
    StreamCallback callback;
    void *user = nullptr;
    aPacket *packet = nullptr; // owned copy
};

// Exactly one producer (the stream filter) and one consumer (the callback thread). A push
// writes the slot, then publishes the head; a pop reads the slot, then releases it by moving
// the tail, so the producer can never overwrite a slot still being read.
class AsyncRing {
  public:
    ~AsyncRing() {
        AsyncPacket item;
        while (pop(&item))
            aPacket_Destroy(&item.packet);
    }
    bool push(AsyncPacket &&item) {
        const uint16_t head = head_.load(std::memory_order_relaxed);
        const uint16_t next = static_cast<uint16_t>((head + 1) % kAsyncSlots);
        if (next == tail_.load(std::memory_order_acquire))
            return false;
        slots_[head] = std::move(item);
        head_.store(next, std::memory_order_release);
        return true;
    }
    bool pop(AsyncPacket *item) {
        const uint16_t tail = tail_.load(std::memory_order_relaxed);
        if (tail == head_.load(std::memory_order_acquire))
            return false;
        *item = std::move(slots_[tail]);
        slots_[tail] = AsyncPacket{};
        tail_.store(static_cast<uint16_t>((tail + 1) % kAsyncSlots), std::memory_order_release);
        return true;
    }

  private:
    std::array<AsyncPacket, kAsyncSlots> slots_;
    std::atomic<uint16_t> head_{0};
    std::atomic<uint16_t> tail_{0};
};

struct Link::impl {
    Link *owner = nullptr;
    uint32_t linkId = 0;
    aLoggerRef logger = nullptr;
    LumenConfig config;
    std::map<uint64_t, StreamEntry> streams;
    std::unique_ptr<std::thread> asyncThread;
    AsyncRing asyncQueue;
    std::promise<void> stopSignal;
    std::mutex streamLock;
    std::string name;
    std::unique_ptr<linkSpec> spec;
    bool filterInstalled = false; // our stream filter sits on the engine link

    aErr createEngineLink();
    aErr awaitRunning();
    aErr discoverOnce(linkType type, uint32_t serialNumber, uint8_t model);
    void updateStreamFilter();
    void stopCallbackThread();
    void eraseStreams(uint8_t address, uint8_t command, uint8_t option, uint8_t index);
    static bool streamFilter(const aPacket *packet, void *reference);
    static void callbackLoop(impl *self, std::shared_future<void> stop);
};

// --- construction ---

Link::Link(const char *name) : m_impl(new impl) {
    m_impl->owner = this;
    if (name != nullptr)
        m_impl->name.assign(name, strnlen(name, kMaxName));
}

Link::Link(const linkSpec &spec, const char *name) : Link(name) { m_impl->spec = std::make_unique<linkSpec>(spec); }

Link::~Link() {
    disablePacketLog();
    disconnect();
    delete m_impl;
}

// --- connecting ---

aErr Link::impl::createEngineLink() {
    const uint32_t type = spec->type;
    if (type >= linkTYPE_LUMEN_FIRST && type <= linkTYPE_LUMEN_LAST)
        return config.enabled ? aErrUnimplemented : aErrConfiguration;
    std::lock_guard lock(sCreationLock);
    switch (spec->type) {
    case TCPIP:
        linkId = aLink_CreateTCPIP(spec->serialNumber, spec->ipAddress, static_cast<uint16_t>(spec->ipPort));
        break;
    case SERIAL: {
        char portName[linkSPEC_PORTNAME + 1] = {};
        std::memcpy(portName, spec->portName, linkSPEC_PORTNAME);
        linkId = aLink_CreateSerial(spec->serialNumber, portName, spec->baudRate);
        break;
    }
    case USB: // the USB transport is not part of this library yet
        return aErrUnimplemented;
    case INVALID:
    default:
        return aErrMode;
    }
    // With `enabled` the new link would also be shared through the local server, which is not
    // built: the link works unshared.
    return linkId == 0 ? aErrConnection : aErrNone;
}

aErr Link::impl::awaitRunning() {
    uint32_t status = aLink_GetStatus(linkId);
    switch (status) {
    case kLinkStateRunning:
        return aErrNone;
    case kLinkStateStopping:
        return aErrBusy;
    case kLinkStateInvalid:
    case kLinkStateIOError:
    case kLinkStatePacketError:
        return aErrConnection;
    case kLinkStateStopped:
    case kLinkStateStarting:
    case kLinkStateSyncing:
        for (int i = 0; i < kConnectPolls && status != kLinkStateRunning; ++i) {
            aTime_MSSleep(kConnectPollMs);
            status = aLink_GetStatus(linkId);
        }
        return status == kLinkStateRunning ? aErrNone : aErrConnection;
    default:
        return aErrDuplicate;
    }
}

aErr Link::connect() {
    if (m_impl->linkId != 0)
        return aErrConnection;
    if (!m_impl->spec)
        return aErrConfiguration;
    aErr err = m_impl->createEngineLink();
    if (err != aErrNone)
        return err;
    return m_impl->awaitRunning();
}

aErr Link::connectThroughLinkModule(Link &router) {
    if (router.m_impl->linkId == 0)
        return aErrInitialization;
    // The engine hands out the router's link for the same device and type, with one user more.
    return connect();
}

namespace {

struct FirstOfModel {
    uint8_t model;
    linkSpec found;
};

bool sFirstOfModel(const linkSpec *spec, bool *counted, void *reference) {
    FirstOfModel *wanted = static_cast<FirstOfModel *>(reference);
    if (wanted->model != 0 && spec->model != wanted->model)
        return true;
    wanted->found = *spec;
    *counted = true;
    return false;
}

} // namespace

aErr Link::impl::discoverOnce(linkType type, uint32_t serialNumber, uint8_t model) {
    linkSpec found{};
    if (serialNumber != 0) {
        linkSpec *delivered = aDiscovery_FindModule(type, serialNumber, config.networkInterface);
        if (delivered == nullptr)
            return aErrNotFound;
        found = *delivered;
        aLinkSpec_Destroy(&delivered);
    } else {
        FirstOfModel wanted{model, {}};
        if (aDiscovery_EnumerateModules(type, sFirstOfModel, &wanted, config.networkInterface) == 0)
            return aErrNotFound;
        found = wanted.found;
    }
    spec = std::make_unique<linkSpec>(found);
    return owner->connect();
}

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model) {
    aErr err = m_impl->discoverOnce(type, serialNumber, model);
    const uint32_t t = type;
    const bool lumen = t >= linkTYPE_LUMEN_FIRST && t <= linkTYPE_LUMEN_LAST;
    if ((err == aErrNotFound || err == aErrInitialization || err == aErrConnection) &&
        (type == USB || type == TCPIP || lumen) && m_impl->config.fallback) {
        const linkType other = lumen ? USB : static_cast<linkType>(linkTYPE_LUMEN_FIRST);
        err = m_impl->discoverOnce(other, serialNumber, model);
    }
    return err;
}

bool Link::isConnected() const { return m_impl->linkId != 0 && aLink_GetStatus(m_impl->linkId) == kLinkStateRunning; }

uint32_t Link::getStatus() const {
    return m_impl->linkId == 0 ? static_cast<uint32_t>(kLinkStatePacketError) : aLink_GetStatus(m_impl->linkId);
}

uint32_t Link::getLinkId() const { return m_impl->linkId; }

aErr Link::disconnect() {
    if (m_impl->filterInstalled) {
        aLink_InstallUserPacketFilter(m_impl->linkId, nullptr, nullptr);
        m_impl->filterInstalled = false;
    }
    m_impl->stopCallbackThread();
    {
        std::lock_guard lock(m_impl->streamLock);
        m_impl->streams.clear();
    }
    if (m_impl->linkId != 0)
        aLink_Destroy(&m_impl->linkId);
    m_impl->linkId = 0;
    return aErrNone;
}

// --- requests and replies ---

aErr Link::awaitPacket(aPacketFilterProc filter, void *reference, uint32_t timeoutMs, aPacket **packet) {
    if (packet == nullptr || filter == nullptr)
        return aErrParam;
    *packet = nullptr;
    if (!isConnected())
        return aErrConnection;
    *packet = aLink_AwaitFirst(m_impl->linkId, filter, reference, timeoutMs);
    if (*packet != nullptr)
        return aErrNone;
    return isConnected() ? aErrTimeout : aErrConnection;
}

aErr Link::getModuleAddress(uint8_t *address) {
    if (address == nullptr)
        return aErrParam;
    if (!isConnected())
        return aErrNotReady;
    static const uint8_t kNone[1] = {0};
    PacketPtr probe(aPacket_CreateWithData(addrWHOAREYOU, 0, kNone));
    if (!probe || aLink_PutPacket(m_impl->linkId, probe.get()) != aErrNone)
        return aErrNotReady;
    aPacket *answer = nullptr;
    if (awaitPacket(sWhoAreYouAnswer, nullptr, kReplyWaitMs, &answer) != aErrNone)
        return aErrNotReady;
    *address = answer->address;
    aPacket_Destroy(&answer);
    return aErrNone;
}

aErr Link::sendUEI(const uei &record) {
    if (!isConnected())
        return aErrConnection;
    if (!sValidModuleAddress(record.module))
        return aErrPacket;
    if (record.type == ueiTYPE_BYTES) {
        std::vector<aPacket *> packets;
        aErr err = aUEI_BuildBytesPackets(record.module, record.command, record.option, record.index,
                                          record.value.bytesVal, record.length, packets);
        if (err != aErrNone)
            return aErrResource;
        for (aPacket *&p : packets) {
            if (err == aErrNone)
                err = aLink_PutPacket(m_impl->linkId, p);
            aPacket_Destroy(&p);
        }
        return err;
    }
    uint8_t data[aPACKET_MAXDATA] = {record.command, record.option, record.index};
    uint8_t n = 0;
    if (!sValueBytes(record, &data[3], &n))
        return aErrParam;
    PacketPtr p(aPacket_CreateWithData(record.module, static_cast<uint8_t>(3 + n), data));
    if (!p)
        return aErrResource;
    return aLink_PutPacket(m_impl->linkId, p.get());
}

aErr Link::sendUEI(const uei &record, uint8_t subindex) {
    if (!isConnected())
        return aErrConnection;
    if (!sValidModuleAddress(record.module))
        return aErrPacket;
    uint8_t data[aPACKET_MAXDATA] = {record.command, record.option, record.index, subindex};
    uint8_t n = 0;
    if (!sValueBytes(record, &data[4], &n))
        return aErrParam;
    PacketPtr p(aPacket_CreateWithData(record.module, static_cast<uint8_t>(4 + n), data));
    if (!p)
        return aErrResource;
    return aLink_PutPacket(m_impl->linkId, p.get());
}

aErr Link::receiveUEI(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uei *record,
                      aPacketFilterProc filter) {
    if (record == nullptr)
        return aErrParam;
    if (!isConnected())
        return aErrConnection;
    if (!sValidModuleAddress(address))
        return aErrPacket;
    UEIMatch match{address, command, option, static_cast<uint8_t>(index & ueiINDEX_MASK)};
    const uint32_t waitMs =
        record->type == ueiTYPE_BYTES && record->length > kLongBytesValue ? kLongReplyWaitMs : kReplyWaitMs;
    aPacket *reply = nullptr;
    aErr err = awaitPacket(filter != nullptr ? filter : sUEIFilter, &match, waitMs, &reply);
    if (err != aErrNone)
        return err;
    sDecodeUEIReply(reply, record);
    aPacket_Destroy(&reply);
    return aErrNone;
}

aErr Link::dropMatchingUEIPackets(uint8_t address, uint8_t command, uint8_t option, uint8_t index) {
    if (!isConnected())
        return aErrConnection;
    if (!sValidModuleAddress(address))
        return aErrPacket;
    UEIMatch match{address, command, option, static_cast<uint8_t>(index & ueiINDEX_MASK)};
    aLink_DrainPackets(m_impl->linkId, sUEIFilter, &match);
    return aErrNone;
}

aErr Link::sendPacket(uint8_t address, uint8_t command, uint8_t n, const uint8_t *data) {
    if (!isConnected())
        return aErrConnection;
    if (n > kMaxRawData || (n > 0 && data == nullptr))
        return aErrParam;
    if (!sValidModuleAddress(address))
        return aErrPacket;
    uint8_t bytes[aPACKET_MAXDATA] = {command};
    if (n > 0)
        std::memcpy(&bytes[1], data, n);
    PacketPtr p(aPacket_CreateWithData(address, static_cast<uint8_t>(n + 1), bytes));
    if (!p)
        return aErrResource;
    return aLink_PutPacket(m_impl->linkId, p.get());
}

aErr Link::receivePacket(uint8_t address, const uint8_t *match, uint8_t *n, uint8_t *data) {
    if (n == nullptr || data == nullptr || (*n > 0 && match == nullptr) || *n > aPACKET_MAXDATA)
        return aErrParam;
    if (!isConnected())
        return aErrConnection;
    if (!sValidModuleAddress(address))
        return aErrPacket;
    RawMatch raw{match, *n};
    aPacket *reply = nullptr;
    aErr err = awaitPacket(sRawFilter, &raw, kReplyWaitMs, &reply);
    if (err != aErrNone)
        return err;
    *n = reply->length;
    std::memcpy(data, reply->data, reply->length);
    aPacket_Destroy(&reply);
    return aErrNone;
}

// --- configuration ---

aErr Link::getConfig(LumenConfig *config) const {
    if (config == nullptr)
        return aErrParam;
    *config = m_impl->config;
    return aErrNone;
}

aErr Link::setConfig(const LumenConfig &config) {
    if (isConnected())
        return aErrMode;
    m_impl->config = config;
    return aErrNone;
}

aErr Link::getLinkSpecifier(linkSpec *spec) const {
    if (spec == nullptr)
        return aErrParam;
    if (!m_impl->spec)
        return aErrNotFound;
    *spec = *m_impl->spec;
    return aErrNone;
}

aErr Link::setLinkSpecifier(const linkSpec &spec) {
    if (isConnected())
        return aErrBusy;
    m_impl->spec = std::make_unique<linkSpec>(spec);
    return aErrNone;
}

const char *Link::getName() const { return m_impl->name.c_str(); }

aErr Link::enablePooledPackets(bool on) {
    if (m_impl->linkId == 0)
        return aErrConnection;
    return aLink_EnablePooledPackets(m_impl->linkId, on);
}

// --- packet log ---

aErr Link::enablePacketLog(const char *path) {
    if (m_impl->linkId == 0)
        return aErrConfiguration;
    if (path == nullptr)
        return aErrParam;
    if (m_impl->logger != nullptr)
        return aErrBusy;
    aErr err = aLink_PacketDebug_Enable(m_impl->linkId);
    if (err != aErrNone)
        return err;
    static const char kStart[] = "START";
    aLink_PacketDebug_Write(m_impl->linkId, kPacketLogText, sizeof(kStart), reinterpret_cast<const uint8_t *>(kStart));
    m_impl->logger =
        aLogger_Create(reinterpret_cast<void *>(static_cast<uintptr_t>(m_impl->linkId)), aPacketDebug_LogRecord, path);
    if (m_impl->logger == nullptr)
        return aErrIO;
    err = aLogger_Enable(m_impl->logger);
    if (err != aErrNone)
        aLogger_Destroy(&m_impl->logger);
    return err;
}

aErr Link::disablePacketLog() {
    if (m_impl->logger != nullptr)
        aLogger_Destroy(&m_impl->logger);
    if (m_impl->linkId == 0)
        return aErrConfiguration;
    return aLink_PacketDebug_Disable(m_impl->linkId);
}

// --- streams ---

uint64_t Link::createStreamKey(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
    return uint64_t(subindex) << 32 | uint64_t(address) << 24 | uint64_t(command) << 16 | uint64_t(option) << 8 |
           uint64_t(index);
}

uint8_t Link::getStreamKeyElement(uint64_t key, StreamKeyElement element) {
    switch (element) {
    case kStreamKeyAddress:
        return static_cast<uint8_t>(key >> 24);
    case kStreamKeyCommand:
        return static_cast<uint8_t>(key >> 16);
    case kStreamKeyOption:
        return static_cast<uint8_t>(key >> 8);
    case kStreamKeyIndex:
        return static_cast<uint8_t>(key);
    case kStreamKeySubindex:
        return static_cast<uint8_t>(key >> 32);
    }
    return 0;
}

uint64_t Link::applyWildcardMask(uint64_t key, int mask) {
    const unsigned bits = static_cast<unsigned>(mask + 1);
    if (bits & 1)
        key |= 0xFFull;
    if (bits & 2)
        key |= 0xFFull << 8;
    if (bits & 4)
        key |= 0xFFull << 16;
    if (bits & 8)
        key |= 0xFFull << 32;
    return key;
}

void Link::getTimestampParts(uint64_t timestamp, uint32_t *high, uint32_t *low) {
    if (high != nullptr)
        *high = static_cast<uint32_t>(timestamp >> 32);
    if (low != nullptr)
        *low = static_cast<uint32_t>(timestamp);
}

bool Link::isStreamPacket(const aPacket *packet) { return aVALIDPACKET(packet) && aUEI_isStreamPacket(packet); }

StreamPacketType Link::getStreamPacketType(const aPacket *packet) {
    if (!isStreamPacket(packet))
        return kStreamTypeUnknown;
    if (packet->data[packet->length - 1] != 0)
        return kStreamTypeBytes; // a later piece of a bytes value
    const uint8_t type = packet->data[3];
    return type >= kStreamTypeByte && type <= kStreamTypeSubindexInt ? static_cast<StreamPacketType>(type)
                                                                     : kStreamTypeUnknown;
}

bool Link::isSubindexType(StreamPacketType type) {
    return type >= kStreamTypeSubindexByte && type <= kStreamTypeSubindexInt;
}

bool Link::isStreamSample(const aPacket *packet) {
    const StreamPacketType type = getStreamPacketType(packet);
    return type != kStreamTypeUnknown && type != kStreamTypeBytes && packet->data[packet->length - 1] == 0 &&
           packet->length == kSampleLength[type];
}

aErr Link::getStreamSample(const aPacket *packet, uint64_t *timestamp, uint32_t *value, uint8_t *subindex) {
    if (!isStreamPacket(packet))
        return aErrPacket;
    const StreamPacketType type = getStreamPacketType(packet);
    if (type == kStreamTypeBytes)
        return aErrSize;
    if (type == kStreamTypeUnknown)
        return aErrUnknown;
    if (!isStreamSample(packet))
        return aErrPacket;
    const uint8_t *at = &packet->data[4];
    uint8_t sub = 0;
    if (isSubindexType(type))
        sub = *at++;
    const uint64_t ts = uint64_t(aUEI_RetrieveInt(at)) << 32 | aUEI_RetrieveInt(at + 4);
    at += 8;
    uint32_t v = 0;
    switch (type) {
    case kStreamTypeByte:
    case kStreamTypeSubindexByte:
        v = at[0];
        break;
    case kStreamTypeShort:
    case kStreamTypeSubindexShort:
        v = aUEI_RetrieveShort(at);
        break;
    case kStreamTypeInt:
    case kStreamTypeSubindexInt:
        v = aUEI_RetrieveInt(at);
        break;
    case kStreamTypeUnknown:
    case kStreamTypeBytes:
        return aErrUnknown;
    }
    if (timestamp != nullptr)
        *timestamp = ts;
    if (value != nullptr)
        *value = v;
    if (subindex != nullptr)
        *subindex = sub;
    return aErrNone;
}

// Runs on the engine's reading thread for every received packet while installed.
bool Link::impl::streamFilter(const aPacket *packet, void *reference) {
    impl *self = static_cast<impl *>(reference);
    const StreamPacketType type = getStreamPacketType(packet);
    if (type == kStreamTypeUnknown)
        return false;
    uint32_t value = 0;
    uint8_t subindex = 0;
    const bool sample = getStreamSample(packet, nullptr, &value, &subindex) == aErrNone;
    const uint64_t key = createStreamKey(packet->address, packet->data[0], packet->data[1] & ueiOPTION_MASK,
                                         packet->data[2] & ueiINDEX_MASK, isSubindexType(type) ? subindex : 0);
    auto queue = [self, packet](const StreamEntry &entry) {
        if (!entry.callback)
            return;
        AsyncPacket item{entry.callback, entry.user, aPacket_Copy(packet)};
        if (item.packet == nullptr || !self->asyncQueue.push(std::move(item)))
            aPacket_Destroy(&item.packet); // a full ring drops the callback
    };
    std::lock_guard lock(self->streamLock);
    auto exact = self->streams.find(key);
    if (exact != self->streams.end()) {
        queue(exact->second);
        if (sample) {
            exact->second.value = value;
            exact->second.fresh = true;
        }
    }
    // A sample whose command or sub-index is already 0xFF gives the same key under several masks
    // (or the exact key itself): each registration hears a sample once.
    uint64_t tried[kStreamWildcardMasks + 1] = {key};
    size_t triedCount = 1;
    bool wildcardMatched = false;
    for (int mask = 0; mask < kStreamWildcardMasks; ++mask) {
        const uint64_t wildcard = applyWildcardMask(key, mask);
        if (std::find(tried, tried + triedCount, wildcard) != tried + triedCount)
            continue;
        tried[triedCount++] = wildcard;
        auto it = self->streams.find(wildcard);
        if (it != self->streams.end()) {
            queue(it->second);
            wildcardMatched = true;
        }
    }
    if (exact == self->streams.end() && wildcardMatched && sample) {
        StreamEntry entry;
        entry.key = key;
        entry.value = value;
        entry.fresh = true;
        self->streams.emplace(key, std::move(entry));
    }
    return true; // stream packets never reach the receive queue
}

void Link::impl::callbackLoop(impl *self, std::shared_future<void> stop) {
    auto stopped = [&stop](std::chrono::milliseconds wait) { return stop.wait_for(wait) == std::future_status::ready; };
    while (!stopped(std::chrono::milliseconds(1))) {
        AsyncPacket item;
        // Checked before every callback: a callback that stops streaming leaves this thread
        // detached, and it must not touch the Link again.
        while (!stopped(std::chrono::milliseconds(0)) && self->asyncQueue.pop(&item)) {
            try {
                item.callback(item.packet, item.user);
            } catch (...) {
                // A callback's exception must not end the thread (and the process).
            }
            aPacket_Destroy(&item.packet);
        }
    }
}

void Link::impl::stopCallbackThread() {
    if (!asyncThread)
        return;
    stopSignal.set_value();
    // Joined, not detached: a detached thread could still run callbacks into a freed Link.
    if (asyncThread->get_id() != std::this_thread::get_id())
        asyncThread->join();
    else
        asyncThread->detach();
    asyncThread.reset();
    stopSignal = std::promise<void>();
    // The thread may stop with callbacks still queued. Their registrations are gone, and their
    // user pointers with them: a later thread must not run them.
    AsyncPacket stale;
    while (asyncQueue.pop(&stale))
        aPacket_Destroy(&stale.packet);
}

void Link::impl::updateStreamFilter() {
    bool empty;
    {
        std::lock_guard lock(streamLock);
        empty = streams.empty();
    }
    if (!empty && !filterInstalled && linkId != 0) {
        if (!asyncThread)
            asyncThread = std::make_unique<std::thread>(callbackLoop, this, stopSignal.get_future().share());
        filterInstalled = aLink_InstallUserPacketFilter(linkId, streamFilter, this) == aErrNone;
    } else if (empty && filterInstalled) {
        aLink_InstallUserPacketFilter(linkId, nullptr, nullptr);
        filterInstalled = false;
        stopCallbackThread();
    }
}

void Link::impl::eraseStreams(uint8_t address, uint8_t command, uint8_t option, uint8_t index) {
    std::lock_guard lock(streamLock);
    for (auto it = streams.begin(); it != streams.end();) {
        const uint64_t k = it->first;
        if (getStreamKeyElement(k, kStreamKeyAddress) == address &&
            getStreamKeyElement(k, kStreamKeyCommand) == command &&
            getStreamKeyElement(k, kStreamKeyOption) == option && getStreamKeyElement(k, kStreamKeyIndex) == index)
            it = streams.erase(it);
        else
            ++it;
    }
}

aErr Link::registerStreamCallback(uint8_t address, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                  StreamCallback callback, void *user) {
    if (address & 1)
        return aErrParam;
    const uint64_t key = createStreamKey(address, command, option, index, kStreamWildcard);
    if (enable) {
        std::lock_guard lock(m_impl->streamLock);
        StreamEntry &entry = m_impl->streams[key];
        entry.key = key;
        entry.callback = std::move(callback);
        entry.user = user;
    } else {
        m_impl->eraseStreams(address, command, option, index);
    }
    m_impl->updateStreamFilter();

    uei request{};
    request.module = address;
    request.command = cmdSTREAM;
    request.option = enable ? kStreamEnableOption : kStreamDisableOption;
    request.index = ueiINDEX_REQUEST;
    request.type = ueiTYPE_INT;
    request.value.intVal = static_cast<uint32_t>(key);
    aErr err = sendUEI(request);
    if (err == aErrNone)
        err = receiveUEI(address, cmdSTREAM, static_cast<uint8_t>(request.option | ueiOPTION_ACK), 0, &request);
    if (err == aErrNone && (request.index & ueiINDEX_ERROR))
        err = static_cast<aErr>(request.value.byteVal);
    if (err != aErrNone) {
        m_impl->eraseStreams(address, command, option, index);
        m_impl->updateStreamFilter();
    }
    return err;
}

aErr Link::enableStream(uint8_t address, uint8_t command, uint8_t option, uint8_t index, bool enable) {
    return registerStreamCallback(address, command, option, index, enable, StreamCallback(), nullptr);
}

aErr Link::isLinkStreaming(uint8_t address, bool *on) {
    if (on == nullptr)
        return aErrParam;
    uei request{};
    request.module = address;
    request.command = cmdSTREAM;
    request.option = kStreamQueryOption;
    request.index = ueiINDEX_REQUEST;
    request.type = ueiTYPE_VOID;
    aErr err = sendUEI(request);
    if (err == aErrNone)
        err = receiveUEI(address, cmdSTREAM, kStreamQueryOption & ueiOPTION_MASK, 0, &request);
    if (err == aErrNone && (request.index & ueiINDEX_ERROR))
        err = static_cast<aErr>(request.value.byteVal);
    if (err == aErrNone)
        *on = request.value.byteVal != 0;
    return err;
}

aErr Link::getStreamValue(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                          uint32_t *value) {
    if (value == nullptr)
        return aErrParam;
    std::lock_guard lock(m_impl->streamLock);
    auto it = m_impl->streams.find(createStreamKey(address, command, option, index, subindex));
    if (it == m_impl->streams.end())
        return aErrNotFound;
    *value = it->second.value;
    if (!it->second.fresh)
        return aErrStreamStale;
    it->second.fresh = false;
    return aErrNone;
}

aErr Link::getStreamStatus(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                           StreamStatusEntry *entries, size_t capacity, size_t *count) {
    if (entries == nullptr || count == nullptr || capacity == 0)
        return aErrParam;
    *count = 0;
    if (!isConnected())
        return aErrConnection;
    const uint8_t wanted[5] = {address, command, option, index, subindex};
    std::lock_guard lock(m_impl->streamLock);
    for (const auto &[key, entry] : m_impl->streams) {
        bool match = true;
        for (int e = 0; e < 5 && match; ++e)
            match =
                wanted[e] == kStreamWildcard || getStreamKeyElement(key, static_cast<StreamKeyElement>(e)) == wanted[e];
        if (!match)
            continue;
        if (*count == capacity)
            return aErrSize;
        entries[(*count)++] = StreamStatusEntry{key, entry.value};
    }
    return aErrNone;
}

} // namespace Axolon
} // namespace Tervane
