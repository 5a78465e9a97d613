// The link engine: creation, start and stop, synchronisation, and the reading
// and writing threads of each link.
//
// Lock order: the table lock (aLinkManagerInternal.cpp) is taken alone, for one
// lookup or change. A link's `userFilterLock` and `packetLogLock` are leaves:
// nothing else is locked while either is held, except that the user filter runs
// under `userFilterLock` and must not call back into this link. FIFO locks are
// only taken inside the aPacketFifo_ calls.
#include "aLink.h"

#include "aDefs.h"
#include "aLinkManagerInternal.h"
#include "aStreamsocket.h"
#include "aTime.h"
#include "unix_streamserial.h"

#include <cstring>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStartPolls = 200; // of 10 ms: threads must be up within 2 s
constexpr int kSyncPolls = 200;  // of 10 ms: a device must answer within 2 s
constexpr int kProbesPerRound = 6;
constexpr uint32_t kWriterWaitMs = 1000;
constexpr uint32_t kReadErrorPauseMs = 100;
constexpr size_t kBatchSize = 4096;
constexpr size_t kBatchRoom = 30; // the largest packet: batches take more while this fits
// While synchronising, a quiet stream starts a new round only after this long:
// the stream may report "nothing yet" every few milliseconds, and the answers
// to one round must not be cut short by the next.
constexpr auto kSyncRoundInterval = std::chrono::milliseconds(250);

struct PacketDeleter {
    void operator()(aPacket *p) const { aPacket_Destroy(&p); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

aErr sQueue(aLinkRecord *link, uint8_t address, uint8_t length, const uint8_t *data) {
    static const uint8_t kNone[1] = {0};
    PacketPtr p(aPacket_CreateWithData(address, length, length ? data : kNone));
    if (!p)
        return aErrMemory;
    return aPacketFifo_Put(link->outFifo, p.get());
}

aErr sQueueForceRoute(aLinkRecord *link, uint8_t value) { return sQueue(link, cmdFORCEROUTE, 1, &value); }

void sLogPacket(aLinkRecord *link, uint8_t direction, const aPacket *p) {
    std::lock_guard lock(link->packetLogLock);
    if (!link->packetLog)
        return;
    uint8_t bytes[aPACKET_MAXBYTES];
    size_t n = 0;
    if (aPacket_GetBytes(p, bytes, sizeof bytes, &n) == aErrNone)
        aPacketLog_Put(link->packetLog, direction, static_cast<uint8_t>(n), bytes);
}

void sPauseWhileRunning(aLinkRecord *link, uint32_t ms) {
    // In pieces, so a stop does not wait out the whole pause.
    for (uint32_t waited = 0; waited < ms && link->running; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// --- reading side ---

void sStartSync(aLinkRecord *link) {
    const auto now = Clock::now();
    const bool syncing = link->status == kLinkStateSyncing && link->syncState != kSyncStateIdle;
    link->status = kLinkStateSyncing;
    aPacket_Reset(link->inPacket);
    if (syncing && now - link->syncRoundStart < kSyncRoundInterval) {
        // The last probes went out moments ago and their answers are still
        // coming: wait for the next one instead of probing again. Probing for
        // every stray byte would let a device that answers wrongly (an odd
        // address, say) multiply the probes without bound.
        link->syncState = kSyncStateByte1;
        return;
    }
    link->syncState = kSyncStateStart;
    link->syncRoundStart = now;
    aErr err = aErrNone;
    for (int i = 0; i < kProbesPerRound; ++i)
        err = sQueue(link, addrWHOAREYOU, 0, nullptr);
    if (err == aErrNone)
        link->syncState = kSyncStateByte1;
}

void sSyncByte(aLinkRecord *link, uint8_t byte) {
    switch (link->syncState) {
    case kSyncStateByte1:
        if (byte != 0 && (byte & 1) == 0) {
            link->syncAddress = byte;
            link->syncState = kSyncStateByte2;
        } else {
            sStartSync(link);
        }
        break;
    case kSyncStateByte2:
        link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
        break;
    case kSyncStateByte3:
        link->syncState = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart;
        break;
    case kSyncStateByte4:
        if (byte == 0) {
            link->syncState = kSyncStateIdle;
            aPacket_Reset(link->inPacket);
            link->status = kLinkStateRunning;
        } else {
            link->syncState = kSyncStateStart;
        }
        break;
    default:
        sStartSync(link);
        break;
    }
}

// Answers a device heartbeat [0x00, v] with [0x00, v + 2]. False when the
// packet is not a heartbeat (or one cannot be answered now): pass it on.
bool sHandleHBBackChannel(aLinkRecord *link, const aPacket *p) {
    if (p->length != 2 || p->data[0] != cmdHEARTBEAT)
        return false;
    if (link->hbState >= 2)
        return false;
    const uint8_t v = p->data[1];
    if (v == 0)
        link->hbState = 2;
    else if (v == 1)
        link->hbState = 3;
    const uint8_t answer[2] = {cmdHEARTBEAT, static_cast<uint8_t>(v + 2)};
    sQueue(link, p->address, 2, answer);
    link->hbState = 0;
    return true;
}

aErr sHandlePacket(aLinkRecord *link) {
    aPacket *p = link->inPacket;
    sLogPacket(link, kPacketLogReceived, p);
    bool consumed = false;
    {
        std::lock_guard lock(link->userFilterLock);
        if (link->userFilter)
            consumed = link->userFilter(p, link->userFilterRef);
    }
    aErr err = aErrNone;
    if (!consumed && !sHandleHBBackChannel(link, p))
        err = aPacketFifo_Put(link->inFifo, p);
    aPacket_Reset(p);
    return err;
}

void sInPipeProcess(void *argument) {
    auto *link = static_cast<aLinkRecord *>(argument);
    link->hbState = 0;
    link->syncAddress = 1;
    link->syncState = kSyncStateIdle;
    link->status = kLinkStateRunning;
    link->inReady = true;
    while (link->running) {
        uint8_t byte = 0;
        const aErr err = aStream_Read(link->stream, &byte, 1);
        const uint32_t status = link->status;
        if (err == aErrNotReady) {
            if (status == kLinkStateIOError ||
                (status == kLinkStateSyncing &&
                 (link->syncState == kSyncStateIdle || Clock::now() - link->syncRoundStart >= kSyncRoundInterval)))
                sStartSync(link);
            continue;
        }
        if (err != aErrNone) {
            link->status = kLinkStateIOError;
            sPauseWhileRunning(link, kReadErrorPauseMs);
            continue;
        }
        if (status == kLinkStateSyncing) {
            sSyncByte(link, byte);
            continue;
        }
        if (aPacket_AddByte(link->inPacket, byte) != aErrNone || (link->inPacket->address & 1)) {
            sStartSync(link); // out of step with the device
            continue;
        }
        if (aPacket_IsComplete(link->inPacket) && sHandlePacket(link) != aErrNone)
            link->status = kLinkStatePacketError;
    }
}

// --- writing side ---

void sWritePacket(aLinkRecord *link, PacketPtr first) {
    uint8_t batch[kBatchSize];
    size_t used = 0;
    aPacket_GetBytes(first.get(), batch, sizeof batch, &used);
    if (link->pooled) {
        while (kBatchSize - used >= kBatchRoom) {
            PacketPtr next(aPacketFifo_Get(link->outFifo));
            if (!next)
                break;
            size_t n = 0;
            aPacket_GetBytes(next.get(), batch + used, kBatchSize - used, &n);
            used += n;
        }
    }
    aStream_Write(link->stream, batch, used); // a failed write loses the packets
    sLogPacket(link, kPacketLogSent, first.get());
}

void sOutPipeProcess(void *argument) {
    auto *link = static_cast<aLinkRecord *>(argument);
    link->outReady = true;
    while (link->running) {
        PacketPtr p(aPacketFifo_Await(link->outFifo, kWriterWaitMs));
        if (p)
            sWritePacket(link, std::move(p));
    }
    // Send what is still queued, the stop's force-route packet included: it is
    // queued right after `running` clears, so wait for it to be there.
    for (;;) {
        const bool stopPacketIn = link->stopPacketQueued;
        PacketPtr p(aPacketFifo_Await(link->outFifo, stopPacketIn ? 0 : 10));
        if (p)
            sWritePacket(link, std::move(p));
        else if (stopPacketIn)
            break;
    }
}

} // namespace

// --- life cycle ---

uint32_t aLink_Init(uint32_t linkId, aStream *stream) {
    aLinkShared link = aLinkTable_GetLink(linkId);
    if (!link)
        return 0;
    link->magic = aLINK_MAGIC;
    link->linkId = linkId;
    link->running = false;
    link->stream = stream;
    link->status = stream ? kLinkStateStopped : kLinkStateInvalid;
    link->inFifo = aPacketFifo_Create();
    link->outFifo = aPacketFifo_Create();
    link->inReady = false;
    link->outReady = false;
    link->hbState = 0;
    link->pooled = false;
    link->inPacket = aPacket_Create();
    if (!link->inFifo || !link->outFifo || !link->inPacket)
        return 0;
    return linkId;
}

aErr aLink_Start(uint32_t linkId) {
    aLinkShared link = aLinkTable_GetLink(linkId);
    if (!link || link->magic != aLINK_MAGIC)
        return aErrParam;
    if (link->running)
        return aErrNone;
    link->running = true;
    link->status = kLinkStateStarting;
    link->hbState = 0;
    link->inReady = false;
    link->outReady = false;
    link->stopPacketQueued = false;
    link->inThread = aThread_Create(sInPipeProcess, link.get());
    if (link->inThread)
        link->outThread = aThread_Create(sOutPipeProcess, link.get());
    if (!link->inThread || !link->outThread)
        return aErrResource;
    // Up once both threads have begun; the reading thread may already have
    // moved on from "running" to a synchronisation round when the device
    // greeted us with stray bytes, which is no reason to wait or to fail.
    auto up = [&] { return link->inReady && link->outReady && link->status != kLinkStateStarting; };
    for (int polls = 0; !up() && polls < kStartPolls; ++polls)
        aTime_MSSleep(10);
    if (!up())
        return aErrIndexRange;
    return sQueueForceRoute(link.get(), 1);
}

aErr aLink_Stop(aLinkRecord *link) {
    if (!link)
        return aErrParam;
    const uint32_t status = link->status;
    if (status == kLinkStateStopped || status == kLinkStateStopping)
        return aErrNone;
    link->status = kLinkStateStopping;
    if (!link->inThread && !link->outThread) {
        link->running = false;
        return aErrNone;
    }
    link->running = false;
    if (link->outThread)
        sQueueForceRoute(link, 0);
    link->stopPacketQueued = true;
    aErr err = aErrNone;
    if (link->inThread && aThread_Destroy(&link->inThread) != aErrNone)
        err = aErrUnknown;
    if (link->outThread && aThread_Destroy(&link->outThread) != aErrNone)
        err = aErrUnknown;
    link->inReady = false;
    link->outReady = false;
    aPacket_Reset(link->inPacket);
    link->hbState = 0;
    link->status = kLinkStateStopped;
    return err;
}

aErr aLink_Sync(uint32_t linkId) {
    aLinkShared link = aLinkTable_GetLink(linkId);
    if (!link || link->magic != aLINK_MAGIC)
        return aErrParam;
    link->status = kLinkStateSyncing;
    int polls = 0;
    while (link->status != kLinkStateRunning && polls++ < kSyncPolls)
        aTime_MSSleep(10);
    const aErr err = link->status == kLinkStateRunning ? aErrNone : aErrNotReady;
    // Drop probes not sent yet and the answers to probes after the second.
    aPacketFifo_DrainPackets(
        link->outFifo, [](const aPacket *, void *) { return true; }, nullptr);
    aTime_MSSleep(100);
    aPacketFifo_DrainPackets(
        link->inFifo, [](const aPacket *, void *) { return true; }, nullptr);
    return err;
}

namespace {

void sFreeLink(aLinkRecord *link) {
    {
        std::lock_guard lock(link->userFilterLock);
        link->userFilter = nullptr;
        link->userFilterRef = nullptr;
    }
    aLink_Stop(link);
    // The record keeps the ids of its FIFOs: another user may still read them
    // and is then answered as for any unknown FIFO (ids are never reused).
    aPacketFifoId in = link->inFifo, out = link->outFifo;
    aPacketFifo_Destroy(&in);
    aPacketFifo_Destroy(&out);
    aPacket_Destroy(&link->inPacket);
    {
        std::lock_guard lock(link->packetLogLock);
        aPacketLog_Destroy(&link->packetLog);
    }
    if (link->stream)
        aStream_Destroy(&link->stream);
    link->magic = 0;
}

} // namespace

aErr aLink_Destroy(uint32_t *linkId) {
    if (!linkId)
        return aErrParam;
    bool known = false;
    aLinkShared link = aLinkTable_ReleaseUser(*linkId, &known);
    *linkId = 0;
    if (!known)
        return aErrParam;
    if (link)
        sFreeLink(link.get());
    return aErrNone;
}

uint32_t aLink_CreateFromStream(int32_t serialNumber, int32_t identifier1, int32_t identifier2, int type,
                                aStream *stream, aErr streamErr, bool sync) {
    const uint32_t existing = aLinkTable_AddUserByIdentifier(serialNumber, type);
    if (existing) {
        if (stream)
            aStream_Destroy(&stream);
        return existing;
    }
    uint32_t id = aLinkTable_Create(serialNumber, identifier1, identifier2, type);
    if (!id) {
        if (stream)
            aStream_Destroy(&stream);
        return 0;
    }
    aErr err = stream ? aErrNone : (streamErr != aErrNone ? streamErr : aErrConnection);
    if (aLink_Init(id, stream) != id && err == aErrNone)
        err = aErrConnection;
    if (!stream && err == aErrNone)
        err = aErrConnection;
    if (err == aErrNone) {
        aLinkTable_ChangeUseCount(id, 1);
        err = aLink_Start(id);
        if (err == aErrNone && sync)
            err = aLink_Sync(id);
    }
    if (err != aErrNone) {
        aLink_Destroy(&id);
        return 0;
    }
    return id;
}

uint32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port) {
    // Shared by serial number: a second user of the device must not open a
    // second connection.
    const uint32_t existing = aLinkTable_AddUserByIdentifier(static_cast<int32_t>(serialNumber), kLinkTypeTCPIP);
    if (existing)
        return existing;
    aStream *stream = nullptr;
    const aErr err = aStream_CreateSocket(address, port, &stream);
    return aLink_CreateFromStream(static_cast<int32_t>(serialNumber), static_cast<int32_t>(address), port,
                                  kLinkTypeTCPIP, stream, err, false);
}

uint32_t aLink_CreateSerial(uint32_t serialNumber, const char *portName, uint32_t baudRate) {
    static const uint32_t kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    int index = -1;
    for (int i = 0; i < 8; ++i)
        if (kRates[i] == baudRate)
            index = i;
    if (index < 0 || !portName)
        return 0;
    const uint32_t existing = aLinkTable_AddUserByIdentifier(static_cast<int32_t>(serialNumber), kLinkTypeSerial);
    if (existing)
        return existing;
    aStream *stream = nullptr;
    const aErr err = aStream_CreateSerial_Packetized(portName, index, 0, 0, 0, &stream);
    return aLink_CreateFromStream(static_cast<int32_t>(serialNumber), 0, 0, kLinkTypeSerial, stream, err, false);
}

uint32_t aLink_GetStatus(uint32_t linkId) {
    aLinkShared link = aLinkTable_GetLink(linkId);
    return link ? link->status.load() : static_cast<uint32_t>(kLinkStateInvalid);
}

// --- packets ---

aErr aLink_PutPacket(uint32_t linkId, const aPacket *packet) {
    aLinkShared link = aLinkTable_GetLink(linkId);
    if (!link || link->magic != aLINK_MAGIC)
        return aErrParam;
    return aPacketFifo_Put(link->outFifo, packet);
}

aPacket *aLink_GetPacket(uint32_t linkId) {
    aLinkShared link = aLinkTable_GetLink(linkId);
    return link ? aPacketFifo_Get(link->inFifo) : nullptr;
}

aPacket *aLink_AwaitPacket(uint32_t linkId, uint32_t timeoutMs) {
    aLinkShared link = aLinkTable_GetLink(linkId);
    return link ? aPacketFifo_Await(link->inFifo, timeoutMs) : nullptr;
}

aPacket *aLink_GetFirst(uint32_t linkId, aPacketFilterProc procedure, void *reference) {
    aLinkShared link = aLinkTable_GetLink(linkId);
    return link ? aPacketFifo_GetFirst(link->inFifo, procedure, reference) : nullptr;
}

aPacket *aLink_AwaitFirst(uint32_t linkId, aPacketFilterProc procedure, void *reference, uint32_t timeoutMs) {
    aLinkShared link = aLinkTable_GetLink(linkId);
    if (!link)
        return nullptr;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    aPacket *found = nullptr;
    while (!found && link->running && link->status == kLinkStateRunning) {
        const auto now = Clock::now();
        if (now >= deadline)
            break;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        found = aPacketFifo_AwaitFirst(link->inFifo, procedure, reference, static_cast<uint32_t>(left));
    }
    return found;
}

size_t aLink_DrainPackets(uint32_t linkId, aPacketFilterProc procedure, void *reference) {
    aLinkShared link = aLinkTable_GetLink(linkId);
    return link ? aPacketFifo_DrainPackets(link->inFifo, procedure, reference) : 0;
}

aErr aLink_InstallUserPacketFilter(uint32_t linkId, aPacketFilterProc procedure, void *reference) {
    aLinkShared link = aLinkTable_GetLink(linkId);
    if (!link || link->magic != aLINK_MAGIC)
        return aErrParam;
    std::lock_guard lock(link->userFilterLock);
    link->userFilter = procedure;
    link->userFilterRef = procedure ? reference : nullptr;
    return aErrNone;
}

aErr aLink_EnablePooledPackets(uint32_t linkId, bool on) {
    aLinkShared link = aLinkTable_GetLink(linkId);
    if (!link || link->magic != aLINK_MAGIC)
        return aErrParam;
    link->pooled = on;
    return aErrNone;
}

aErr aLink_ForceRoute(uint32_t linkId, uint8_t value) {
    aLinkShared link = aLinkTable_GetLink(linkId);
    if (!link)
        return aErrNotFound;
    if (link->magic != aLINK_MAGIC)
        return aErrParam;
    return sQueueForceRoute(link.get(), value);
}
