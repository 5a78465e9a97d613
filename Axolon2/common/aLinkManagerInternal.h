#pragma once
// Inside the link library: the link record and the table of links. Not for
// the application; tests use aLink_CreateFromStream to run the engine over a
// stream of their own.
#include "aError.h"
#include "aPacket.h"
#include "aPacketDebug.h"
#include "aStream.h"
#include "aThread.h"
#include "packetfifo.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

// Link types of the table (the discovery's numbering).
enum { kLinkTypeUSB = 1, kLinkTypeTCPIP = 2, kLinkTypeSerial = 3 };

constexpr uint16_t aLINK_MAGIC = 0xCEED;

struct aLinkRecord {
    // Atomic, like the fields the threads share: a user that found the link may
    // still test it while its last user tears it down.
    std::atomic<uint16_t> magic{0};
    uint32_t linkId = 0;
    std::atomic<bool> running{false};
    std::atomic<uint32_t> status{0};
    aPacketFifoId inFifo = 0;
    aPacket *inPacket = nullptr; // reading thread only (and stop, after the join)
    aPacketFifoId outFifo = 0;
    aThreadRef inThread = nullptr;
    aThreadRef outThread = nullptr;
    std::atomic<bool> inReady{false};
    std::atomic<bool> outReady{false};
    aStream *stream = nullptr;
    uint32_t hbState = 0;   // reading thread only
    uint32_t syncState = 0; // reading thread only
    uint8_t syncAddress = 0;
    std::chrono::steady_clock::time_point syncRoundStart{};
    std::atomic<bool> stopPacketQueued{false};

    std::mutex packetLogLock; // guards packetLog and packetLogSize
    aPacketLog *packetLog = nullptr;
    int32_t packetLogSize = 0;

    std::mutex userFilterLock; // guards userFilter and userFilterRef
    aPacketFilterProc userFilter = nullptr;
    void *userFilterRef = nullptr;

    std::atomic<bool> pooled{false};
};

using aLinkShared = std::shared_ptr<aLinkRecord>;

// The table. Lock order: the table mutex covers one lookup, insert, remove or
// use-count change and is never held while a link's own locks are taken.

// A new entry with a new, zeroed link record and no users; returns its id
// (ids start at 1 and are never reused), 0 without memory.
uint32_t aLinkTable_Create(int32_t identifier0, int32_t identifier1, int32_t identifier2, int type);
// The link record of an id (kept alive for the caller), null when unknown.
aLinkShared aLinkTable_GetLink(uint32_t linkId);
// Finds the newest link of (serial number, type) and adds one user to it under
// the same lock, so it cannot be torn down in between. 0 when there is none.
uint32_t aLinkTable_AddUserByIdentifier(int32_t serialNumber, int type);
// Adds `delta` users; returns the new count, or -1 for an unknown id.
int aLinkTable_ChangeUseCount(uint32_t linkId, int delta);
// Takes one user away; when none remain, removes the entry and returns its
// link record (to be torn down by the caller). `*known` tells an unknown id.
aLinkShared aLinkTable_ReleaseUser(uint32_t linkId, bool *known);

// Runs the engine over a ready stream (owned from here on, also on failure):
// the creation steps shared by every transport. `streamErr` is the transport's
// failure when `stream` is null. With `sync`, the link is synchronised after it
// starts. Returns the link id, 0 on failure.
uint32_t aLink_CreateFromStream(int32_t serialNumber, int32_t identifier1, int32_t identifier2, int type,
                                aStream *stream, aErr streamErr, bool sync);

// Initialises a table entry's link record with a stream (or none: status 5).
uint32_t aLink_Init(uint32_t linkId, aStream *stream);

// Stops a link's threads after queueing the final force-route [0].
aErr aLink_Stop(aLinkRecord *link);
