#pragma once
// The link engine: one running connection to a device over one stream, with a
// reading and a writing thread and two packet FIFOs between them and the
// application. Links are named by ids (0: none); several users of the same
// device share one link, and the last aLink_Destroy stops it.
//
// Every packet handed out is the caller's to release with aPacket_Destroy.
// Time-outs are in milliseconds.
#include "aError.h"
#include "aPacket.h"
#include "packetfifo.h"

#include <cstdint>

enum {
    kLinkStateStopped = 0,
    kLinkStateStarting = 1,
    kLinkStateRunning = 2,
    kLinkStateStopping = 3,
    kLinkStateSyncing = 4,
    kLinkStateInvalid = 5,
    kLinkStateIOError = 6,
    kLinkStatePacketError = 8
};

enum {
    kSyncStateIdle = 0,
    kSyncStateStart = 1,
    kSyncStateByte1 = 2,
    kSyncStateByte2 = 3,
    kSyncStateByte3 = 4,
    kSyncStateByte4 = 5
};

// A link over TCP to `address` (IPv4, network byte order) and `port` (host
// order), started but not synchronised. 0 on any failure. A device that
// already has a TCP link gets that link, with one user more.
uint32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port);

// A link over a serial port with the packetized framing, started but not
// synchronised. `baudRate` is one of 2400 .. 230400 (else 0 is returned).
uint32_t aLink_CreateSerial(uint32_t serialNumber, const char *portName, uint32_t baudRate);

// One user less; the last user stops the link (a final force-route [0] is
// written first), closes its stream and frees it. Sets *linkId to 0.
// aErrParam for an unknown id.
aErr aLink_Destroy(uint32_t *linkId);

// Called by the creation functions. Start: aErrParam, aErrResource (threads),
// aErrIndexRange (threads not up within 2 s). Sync: probes the device until it
// answers twice in a row; aErrNotReady after 2 s.
aErr aLink_Start(uint32_t linkId);
aErr aLink_Sync(uint32_t linkId);

// The link status (kLinkState...); kLinkStateInvalid for an unknown id.
uint32_t aLink_GetStatus(uint32_t linkId);

// Queues a copy of the packet for sending; the caller keeps its packet.
aErr aLink_PutPacket(uint32_t linkId, const aPacket *packet);

aPacket *aLink_GetPacket(uint32_t linkId);
aPacket *aLink_AwaitPacket(uint32_t linkId, uint32_t timeoutMs);
aPacket *aLink_GetFirst(uint32_t linkId, aPacketFilterProc procedure, void *reference);
// Null at once unless the link is running and synchronised (status 2).
aPacket *aLink_AwaitFirst(uint32_t linkId, aPacketFilterProc procedure, void *reference, uint32_t timeoutMs);
// Removes the received packets the procedure accepts; returns their number.
size_t aLink_DrainPackets(uint32_t linkId, aPacketFilterProc procedure, void *reference);

// Installs (or with a null procedure removes) the filter that sees every
// received packet first, on the reading thread; true consumes the packet.
// The filter must not call engine functions of the same link.
aErr aLink_InstallUserPacketFilter(uint32_t linkId, aPacketFilterProc procedure, void *reference);

// Pooled: queued packets go out in batches of up to 4096 bytes.
aErr aLink_EnablePooledPackets(uint32_t linkId, bool on);

// Queues the force-route packet [value]. aErrNotFound for an unknown id.
aErr aLink_ForceRoute(uint32_t linkId, uint8_t value);
