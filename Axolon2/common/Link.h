#pragma once
// The application's side of one engine link: creating and awaiting it, and the request/reply
// traffic everything above needs (UEI requests and replies, raw packets, who-are-you), plus the
// stream-value cache with its callback thread. Every operation returns an aErr code and throws
// nothing but std::bad_alloc. Replies are awaited for 1000 ms unless said otherwise.
#include "aError.h"
#include "aPacket.h"
#include "aUEI.h"
#include "discover.h"
#include "packetfifo.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace Tervane {
namespace Axolon {

// The IPv4 loopback address as a socket address stores it (bytes 7F 00 00 01 in memory).
constexpr uint32_t kLoopbackInterface = std::endian::native == std::endian::little ? 0x0100007Fu : 0x7F000001u;

// Network configuration of a link. The shared-link server and the Lumen link types it would
// enable are not built: with `enabled` a new link is simply not shared, and the Lumen types
// answer aErrUnimplemented.
struct LumenConfig {
    bool enabled = true;
    bool fallback = true;     // after a failed discovery, retry once with the other family of types
    bool serverOption = true; // for the shared-link server
    uint16_t port = 0;
    uint32_t networkInterface = kLoopbackInterface; // interface for discovery (loopback: all)
};

// A stream sample's callback; runs on the link's callback thread, never on the engine's.
// It sees a copy of the packet, freed after it returns.
using StreamCallback = std::function<uint8_t(const aPacket *packet, void *user)>;

// One cache entry as getStreamStatus lists it.
struct StreamStatusEntry {
    uint64_t key;
    uint32_t value;
};

// Elements of a stream key; 0xFF in any but the address means "any".
enum StreamKeyElement {
    kStreamKeyAddress = 0,
    kStreamKeyCommand,
    kStreamKeyOption,
    kStreamKeyIndex,
    kStreamKeySubindex
};
constexpr uint8_t kStreamWildcard = 0xFF;
constexpr int kStreamWildcardMasks = 15;

// Stream packet types (data byte 3 of a stream packet).
enum StreamPacketType {
    kStreamTypeUnknown = 0,
    kStreamTypeByte = 1,
    kStreamTypeShort = 2,
    kStreamTypeInt = 3,
    kStreamTypeBytes = 4, // not a sample
    kStreamTypeSubindexByte = 5,
    kStreamTypeSubindexShort = 6,
    kStreamTypeSubindexInt = 7,
};

// What a UEI reply filter is given: the reply must come from `address` with this command,
// this option byte (flags included) and this index (index bits only).
struct UEIMatch {
    uint8_t address;
    uint8_t command;
    uint8_t option;
    uint8_t index;
};

class Link {
  public:
    explicit Link(const char *name);
    Link(const linkSpec &spec, const char *name);
    virtual ~Link();
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    // Finds the device (by serial number, or the first of `model` when serial is 0; model 0:
    // any) and connects to it. aErrNotFound when discovery finds nothing.
    aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model);
    // Creates the engine link from the stored specifier and waits (up to 2 s) for it to run.
    // aErrConnection when a link is already held or cannot be made; aErrConfiguration without a
    // specifier; aErrUnimplemented for the Lumen types; aErrMode for unknown types.
    aErr connect();
    // Uses the router's engine link (one user more) for the specifier stored here.
    // aErrInitialization when the router holds no link.
    aErr connectThroughLinkModule(Link &router);
    bool isConnected() const;
    // Engine status; 8 without a link.
    uint32_t getStatus() const;
    // Gives up this user of the engine link.
    aErr disconnect();
    // The engine link's id (0: none), e.g. to see that two modules share one link.
    uint32_t getLinkId() const;

    // Who-are-you: the address of the module that answers. aErrNotReady when no answer came.
    aErr getModuleAddress(uint8_t *address);

    // UEI request [command, option, index, value] to record.module; one packet, or a packet
    // sequence for type bytes. aErrPacket for address 0 or odd; aErrConnection not connected.
    aErr sendUEI(const uei &record);
    aErr sendUEI(const uei &record, uint8_t subindex);
    // Waits for the oldest reply that `filter` accepts (default: the standard UEI match on a
    // UEIMatch reference) and decodes it into *record: an error reply leaves its index byte in
    // record->index and its code in record->value.byteVal. Waits 4000 ms when *record is a bytes
    // value longer than 1000 bytes. aErrTimeout when nothing came.
    aErr receiveUEI(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uei *record,
                    aPacketFilterProc filter = nullptr);
    aErr dropMatchingUEIPackets(uint8_t address, uint8_t command, uint8_t option, uint8_t index);

    // Raw packet [command, n data bytes]; n above 27: aErrParam.
    aErr sendPacket(uint8_t address, uint8_t command, uint8_t n, const uint8_t *data);
    // Waits for the oldest packet whose first *n data bytes equal `match`, from any module;
    // then *n is its data length and `data` (room for 28) holds its data.
    aErr receivePacket(uint8_t address, const uint8_t *match, uint8_t *n, uint8_t *data);
    // The general wait under the two above: the oldest packet `filter` accepts, handed over
    // in *packet (the caller frees it). aErrConnection when not connected, aErrTimeout.
    aErr awaitPacket(aPacketFilterProc filter, void *reference, uint32_t timeoutMs, aPacket **packet);

    aErr getConfig(LumenConfig *config) const;
    // aErrMode while connected.
    aErr setConfig(const LumenConfig &config);
    // aErrNotFound when none is stored.
    aErr getLinkSpecifier(linkSpec *spec) const;
    // aErrBusy while connected.
    aErr setLinkSpecifier(const linkSpec &spec);
    const char *getName() const;

    aErr enablePooledPackets(bool on);

    // Streams. A registration keys (address, command, option, index, any sub-index); 0xFF in
    // command, option or index registers for any value. Odd addresses: aErrParam. The device is
    // told over command 93; its refusal undoes the registration.
    aErr registerStreamCallback(uint8_t address, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                StreamCallback callback, void *user);
    aErr enableStream(uint8_t address, uint8_t command, uint8_t option, uint8_t index, bool enable);
    aErr isLinkStreaming(uint8_t address, bool *on);
    // The cached sample: aErrNone when fresh (and now read), aErrStreamStale when read before,
    // aErrNotFound when none.
    aErr getStreamValue(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                        uint32_t *value);
    // Entries whose elements each equal the given one, or any where 0xFF is given.
    // aErrSize when more than `capacity` match.
    aErr getStreamStatus(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                         StreamStatusEntry *entries, size_t capacity, size_t *count);

    static bool isStreamPacket(const aPacket *packet);
    static bool isStreamSample(const aPacket *packet);
    static StreamPacketType getStreamPacketType(const aPacket *packet);
    static bool isSubindexType(StreamPacketType type);
    // aErrPacket when not a sample, aErrSize for a bytes packet, aErrUnknown for an unknown type.
    static aErr getStreamSample(const aPacket *packet, uint64_t *timestamp, uint32_t *value, uint8_t *subindex);
    static uint64_t createStreamKey(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex);
    static uint8_t getStreamKeyElement(uint64_t key, StreamKeyElement element);
    // Key with mask `mask` (0..14) of wildcards applied; the address never is one.
    static uint64_t applyWildcardMask(uint64_t key, int mask);
    static void getTimestampParts(uint64_t timestamp, uint32_t *high, uint32_t *low);

    // The engine's packet log written to `path` as text; aErrConfiguration without a link.
    aErr enablePacketLog(const char *path);
    aErr disablePacketLog();

    struct impl;

  private:
    impl *m_impl;
};

} // namespace Axolon
} // namespace Tervane
