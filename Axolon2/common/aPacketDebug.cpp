// Packet log ring and the per-link packet-debug calls.
//
// Lock order: a link's `packetLogLock` is a leaf; the table lock is released
// (inside aLinkTable_GetLink) before it is taken.
#include "aPacketDebug.h"

#include "aLinkManagerInternal.h"
#include "aTime.h"

#include <cstdlib>
#include <new>

struct aPacketLog {
    uint8_t *ring = nullptr;
    size_t size = 0;
    size_t read = 0;
    size_t write = 0;
};

namespace {

size_t sUsed(const aPacketLog *log) { return (log->write + log->size - log->read) % log->size; }

uint8_t sAt(const aPacketLog *log, size_t offset) { return log->ring[(log->read + offset) % log->size]; }

} // namespace

aPacketLog *aPacketLog_Create(size_t size) {
    if (size < 3)
        return nullptr;
    auto *log = new (std::nothrow) aPacketLog;
    if (!log)
        return nullptr;
    log->ring = static_cast<uint8_t *>(std::malloc(size));
    if (!log->ring) {
        delete log;
        return nullptr;
    }
    log->size = size;
    return log;
}

aErr aPacketLog_Put(aPacketLog *log, uint8_t direction, uint8_t length, const uint8_t *bytes) {
    if (!log || (!bytes && length > 0))
        return aErrParam;
    const size_t need = static_cast<size_t>(length) + 2;
    if (need >= log->size)
        return aErrOverrun;
    // One byte stays free so that equal indices mean an empty ring.
    while (need >= log->size - sUsed(log))
        log->read = (log->read + 2 + sAt(log, 1)) % log->size;
    auto push = [log](uint8_t b) {
        log->ring[log->write] = b;
        log->write = (log->write + 1) % log->size;
    };
    push(direction);
    push(length);
    for (size_t i = 0; i < length; ++i)
        push(bytes[i]);
    return aErrNone;
}

aErr aPacketLog_Get(aPacketLog *log, uint8_t *direction, uint8_t *length, uint8_t *buffer) {
    if (!log || !direction || !length || (!buffer && *length > 0))
        return aErrParam;
    if (sUsed(log) == 0)
        return aErrNotFound;
    const uint8_t n = sAt(log, 1);
    if (n > *length) {
        *length = n;
        return aErrOverrun;
    }
    *direction = sAt(log, 0);
    for (size_t i = 0; i < n; ++i)
        buffer[i] = sAt(log, 2 + i);
    *length = n;
    log->read = (log->read + 2 + n) % log->size;
    return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLog **log) {
    if (!log || !*log)
        return aErrParam;
    std::free((*log)->ring);
    delete *log;
    *log = nullptr;
    return aErrNone;
}

aErr aLink_PacketDebug_SetLogSize(uint32_t linkId, int32_t size) {
    aLinkShared link = aLinkTable_GetLink(linkId);
    if (!link || size > aPACKETLOG_MAXSIZE)
        return aErrParam;
    std::lock_guard lock(link->packetLogLock);
    if (link->packetLog)
        return aErrBusy;
    link->packetLogSize = size < 0 ? 0 : size;
    return aErrNone;
}

aErr aLink_PacketDebug_Enable(uint32_t linkId) {
    aLinkShared link = aLinkTable_GetLink(linkId);
    if (!link)
        return aErrParam;
    std::lock_guard lock(link->packetLogLock);
    if (link->packetLogSize == 0)
        link->packetLogSize = aPACKETLOG_DEFAULTSIZE;
    if (!link->packetLog)
        link->packetLog = aPacketLog_Create(static_cast<size_t>(link->packetLogSize));
    return link->packetLog ? aErrNone : aErrResource;
}

aErr aLink_PacketDebug_Disable(uint32_t linkId) {
    aLinkShared link = aLinkTable_GetLink(linkId);
    if (!link)
        return aErrParam;
    std::lock_guard lock(link->packetLogLock);
    return link->packetLog ? aErrNone : aErrNotReady;
}

aErr aLink_PacketDebug_Read(uint32_t linkId, uint8_t *direction, uint8_t *length, uint8_t *buffer) {
    aLinkShared link = aLinkTable_GetLink(linkId);
    if (!link)
        return aErrParam;
    std::lock_guard lock(link->packetLogLock);
    if (!link->packetLog)
        return aErrNotReady;
    return aPacketLog_Get(link->packetLog, direction, length, buffer);
}

aErr aLink_PacketDebug_Write(uint32_t linkId, uint8_t direction, uint8_t length, const uint8_t *bytes) {
    aLinkShared link = aLinkTable_GetLink(linkId);
    if (!link)
        return aErrParam;
    std::lock_guard lock(link->packetLogLock);
    if (!link->packetLog)
        return aErrNotReady;
    return aPacketLog_Put(link->packetLog, direction, length, bytes);
}

void aPacketDebug_LogRecord(aFileRef file, void *parameter) {
    const auto linkId = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(parameter));
    // Room for the longest record (its length is one byte): a record that did
    // not fit would stay at the head of the log and stop the file for good.
    uint8_t buffer[UINT8_MAX];
    uint8_t direction = 0;
    uint8_t length = sizeof buffer;
    if (aLink_PacketDebug_Read(linkId, &direction, &length, buffer) != aErrNone) {
        aTime_MSSleep(5);
        return;
    }
    aFile_Printf(file, "%d %s ", length, direction == kPacketLogSent ? ">" : "<");
    for (uint8_t i = 0; i < length; ++i) {
        if (direction == kPacketLogText)
            aFile_Printf(file, "%c", buffer[i]);
        else
            aFile_Printf(file, "0x%X ", buffer[i]);
    }
    aFile_Printf(file, "\r\n");
}
