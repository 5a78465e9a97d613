#pragma once
// Device discovery: which devices can be reached, and how. Each one found is described by a
// link specifier from which a link can be created.
#include "aError.h"

#include <cstddef>
#include <cstdint>

// Kind of link. Values 4 to 7 are the Lumen types of the shared-link server, which this
// library does not build: they are never discovered here.
enum linkType : uint32_t {
    INVALID = 0, // nothing is discovered, no link is created
    USB = 1,
    TCPIP = 2,
    SERIAL = 3, // packetized serial line; never discovered
};
constexpr uint32_t linkTYPE_LUMEN_FIRST = 4;
constexpr uint32_t linkTYPE_LUMEN_LAST = 7;

constexpr size_t linkSPEC_PORTNAME = 100;

// How to reach one device; a plain 128-byte record, copied by value.
struct linkSpec {
    linkType type;
    uint32_t serialNumber;
    uint32_t module;             // module address; 0 when unknown
    uint32_t router;             // address of the router the device is reached through; 0 when unknown
    uint32_t routerSerialNumber; // 0 when unknown
    uint32_t model;
    union {
        uint32_t usbId;     // USB: the serial number again
        uint32_t ipAddress; // TCP/IP: IPv4 address, network byte order
        uint32_t baudRate;  // serial: line speed in baud
    };
    union {
        uint32_t ipPort;                  // TCP/IP: port, host order
        char portName[linkSPEC_PORTNAME]; // serial: device path, zero-terminated
    };
};
static_assert(sizeof(linkSpec) == 128, "the specifier is a fixed 128-byte record");

// A new zeroed specifier of `type`, owned by the caller; null without memory.
linkSpec *aLinkSpec_Create(linkType type);
// A new specifier equal to `spec`; null without memory.
linkSpec *aLinkSpec_Copy(linkSpec spec);
// Frees the specifier and nulls *spec; aErrParam when spec or *spec is null.
aErr aLinkSpec_Destroy(linkSpec **spec);

// Called for each device found. `spec` is temporary: copy what you keep. Set *counted to have
// the device counted; return false to end the enumeration.
typedef bool (*aDiscoveryModuleFoundProc)(const linkSpec *spec, bool *counted, void *reference);

// IPv4 interface values that mean "every interface": 0, and 127.0.0.1 as stored in a socket
// address (network byte order).
constexpr uint32_t aDISCOVERY_ALL_INTERFACES = 0;

// Enumerates the devices of one link type on the caller's thread and returns how many calls
// set *counted. TCP/IP sends one query per IPv4 interface (or only on `networkInterface`, a
// network-order address) and listens for replies until 2 s pass without one, so it takes at
// least 2 s unless the callback stops it. Types that are never discovered (0, serial, Lumen
// and unknown types) answer 0 without calling the callback. Failures are not errors: what
// cannot be reached is simply not found.
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void *reference,
                                    uint32_t networkInterface);

// A new specifier (release with aLinkSpec_Destroy) for the device with `serialNumber`, exactly
// as discovery delivered it; null when it was not found.
linkSpec *aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);

// The first device found with a non-zero serial number, or null.
linkSpec *aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// TCP/IP discovery datagrams.
constexpr uint16_t aDISCOVERY_QUERY_PORT = 9888;
constexpr uint16_t aDISCOVERY_REPLY_PORT = 9889;
constexpr const char *aDISCOVERY_GROUP = "232.2.2.2";
constexpr size_t aDISCOVERY_DATAGRAM = 16;
// Replies shorter than this carry no serial number and port, and are ignored.
constexpr size_t aDISCOVERY_MIN_REPLY = 8;
// Receive time-out of the reply listener, in ms: discovery ends this long after the last reply.
constexpr int aDISCOVERY_LISTEN_MS = 2000;

// Turns a reply of `n` bytes from `sourceAddress` (network order) into a TCP/IP specifier.
// A reply that ends before the model byte gives model 255. False (spec untouched) for a null
// argument or a reply shorter than aDISCOVERY_MIN_REPLY.
bool aDiscovery_ParseReply(const uint8_t *reply, size_t n, uint32_t sourceAddress, linkSpec *spec);

// The TCP/IP half of aDiscovery_EnumerateModules (unix_discovery.cpp).
uint8_t aDiscovery_EnumerateTCPIP(aDiscoveryModuleFoundProc callback, void *reference, uint32_t networkInterface);
