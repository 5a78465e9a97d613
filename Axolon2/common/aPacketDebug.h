#pragma once
// Packet log: an optional per-link ring of records (direction, length, bytes)
// of what a link sent (1) and received (2), plus text the application adds (3).
#include "aError.h"
#include "aFile.h"

#include <cstddef>
#include <cstdint>

enum { kPacketLogSent = 1, kPacketLogReceived = 2, kPacketLogText = 3 };

constexpr int32_t aPACKETLOG_DEFAULTSIZE = 65536;
constexpr int32_t aPACKETLOG_MAXSIZE = 67108864;

typedef struct aPacketLog aPacketLog;

// A ring of `size` bytes (at least 3); null without memory.
aPacketLog *aPacketLog_Create(size_t size);
// Adds a record, dropping the oldest until it fits. aErrOverrun if it never can.
aErr aPacketLog_Put(aPacketLog *log, uint8_t direction, uint8_t length, const uint8_t *bytes);
// Takes the oldest record. `*length` gives the capacity of `buffer` and
// receives the record's length. aErrNotFound when empty; aErrOverrun (record
// kept) when it does not fit.
aErr aPacketLog_Get(aPacketLog *log, uint8_t *direction, uint8_t *length, uint8_t *buffer);
aErr aPacketLog_Destroy(aPacketLog **log);

// Per link (aErrParam for an unknown id; aErrNotReady when the link has no log,
// except for SetLogSize and Enable).
aErr aLink_PacketDebug_SetLogSize(uint32_t linkId, int32_t size); // before Enable; aErrBusy after
aErr aLink_PacketDebug_Enable(uint32_t linkId);
aErr aLink_PacketDebug_Disable(uint32_t linkId); // the log stays and keeps recording
aErr aLink_PacketDebug_Read(uint32_t linkId, uint8_t *direction, uint8_t *length, uint8_t *buffer);
aErr aLink_PacketDebug_Write(uint32_t linkId, uint8_t direction, uint8_t length, const uint8_t *bytes);

// Logger procedure for aLogger: moves one record of link `parameter` (the link
// id) into `file` as a text line, or sleeps 5 ms when the log is empty.
void aPacketDebug_LogRecord(aFileRef file, void *parameter);
