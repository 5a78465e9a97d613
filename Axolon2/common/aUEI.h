#pragma once
// The UEI convention: a get, set or call of one option of one entity on one module, carried in
// the data bytes of a packet as [command, option, index, value...]. Every multi-byte value is
// big-endian.

#include "aError.h"
#include "aPacket.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Value types; there is no type 3.
constexpr uint8_t ueiTYPE_VOID = 0;
constexpr uint8_t ueiTYPE_BYTE = 1;
constexpr uint8_t ueiTYPE_SHORT = 2;
constexpr uint8_t ueiTYPE_INT = 4;
constexpr uint8_t ueiTYPE_BYTES = 5;

// Payload length (data bytes) of a value of each type; bytes values take 4..28 per packet.
constexpr uint8_t ueiLENGTH_VOID = 3;
constexpr uint8_t ueiLENGTH_BYTE = 4;
constexpr uint8_t ueiLENGTH_SHORT = 5;
constexpr uint8_t ueiLENGTH_INT = 7;

// Option byte (data byte 1).
constexpr uint8_t ueiOPTION_MASK = 0x3F;
constexpr uint8_t ueiOPTION_GET = 0x40;
constexpr uint8_t ueiOPTION_SET = 0x80;
constexpr uint8_t ueiOPTION_ACK = 0xC0; // acknowledgement of a set

// Index byte (data byte 2).
constexpr uint8_t ueiINDEX_MASK = 0x1F;
constexpr uint8_t ueiINDEX_REQUEST = 0x20; // on every request this program sends
constexpr uint8_t ueiINDEX_STREAM = 0x40;
constexpr uint8_t ueiINDEX_ERROR = 0x80; // data byte 3 holds the aErr code

// Bytes values: at most 24 value bytes per packet, then a sequence byte.
constexpr size_t ueiBYTES_PER_PACKET = 24;
constexpr uint8_t ueiBYTES_CONTINUE = 0x80;
constexpr uint8_t ueiBYTES_SEQUENCE_MASK = 0x7F;

// The request/response record of link and entity operations.
struct uei {
    uint8_t module; // module address
    uint8_t command;
    uint8_t option; // flags included
    uint8_t index;  // flags included; after a reply, the reply's index byte
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        uint8_t *bytesVal;
    } value;       // after an error reply, byteVal holds the error code
    size_t length; // size of the bytesVal buffer
    uint8_t type;  // ueiTYPE_*
};

// True when data byte 0 is a command that does not follow the UEI layout (false for null).
bool aUEI_isNotUEIPayload(const aPacket *p);
bool aUEI_isUEIPayload(const aPacket *p);
// A UEI payload longer than 4 bytes with neither get nor set flag and the stream index flag.
bool aUEI_isStreamPacket(const aPacket *p);

// Sequence number (bits 0..6) and continue flag (bit 7) of the last data byte of a bytes
// packet; 0 for a null or empty packet.
uint8_t aUEI_getBytesSequence(const aPacket *p);
uint8_t aUEI_getBytesContinue(const aPacket *p);
// True when the packet carries a whole 24-byte piece (length 27 or 28).
bool aUEI_getBytesFullPacket(const aPacket *p);

void aUEI_StoreShort(uint8_t *buffer, uint16_t value);
uint16_t aUEI_RetrieveShort(const uint8_t *buffer);
void aUEI_StoreInt(uint8_t *buffer, uint32_t value);
uint32_t aUEI_RetrieveInt(const uint8_t *buffer);
// Turns `count` consecutive big-endian 32-bit words into host order, in place.
void aUEI_ModifyIntBuffer(uint8_t *buffer, size_t count);

// Cuts a bytes value into its packets to `module`: each [command, option, index, up to 24
// value bytes, sequence byte]; an empty value is one packet with sequence byte 0. On success
// `packets` holds the new packets, which the caller owns; on failure it is left empty.
// aErrParam for null data with a non-zero length, aErrMemory without memory.
aErr aUEI_BuildBytesPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index, const uint8_t *data,
                            size_t length, std::vector<aPacket *> &packets);
