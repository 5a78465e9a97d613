#pragma once
// The Axolon packet: one address byte, one length byte and up to 28 data bytes. Its byte form
// on the wire is exactly address, length, data.

#include "aError.h"

#include <cstddef>
#include <cstdint>

constexpr uint8_t aPACKET_MAXDATA = 28;
constexpr uint8_t aPACKET_MAXBYTES = aPACKET_MAXDATA + 2;
constexpr uint16_t aPACKET_MAGIC = 0xBEEF;

struct aPacket {
    uint16_t magic;  // aPACKET_MAGIC from creation until destruction
    uint8_t count;   // bytes held so far, address and length byte included
    uint8_t address; // module address; 0 while not yet received
    uint8_t length;  // number of data bytes
    uint8_t data[aPACKET_MAXDATA];
};

inline bool aVALIDPACKET(const aPacket *p) { return p != nullptr && p->magic == aPACKET_MAGIC; }

// A new empty packet owned by the caller (release with aPacket_Destroy); null without memory.
aPacket *aPacket_Create();

// A complete packet; null when `data` is null, `length` exceeds aPACKET_MAXDATA or without memory.
aPacket *aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t *data);

// A new packet with p's address, length and data; null for an invalid p.
aPacket *aPacket_Copy(const aPacket *p);

// Data byte 0, data byte 1 without its flags (0..63), data byte 2 without its flags (0..31).
// aErrParam for a null output; aErrPacket for an invalid packet or one too short.
aErr aPacket_GetCmd(const aPacket *p, uint8_t *cmd);
aErr aPacket_GetOption(const aPacket *p, uint8_t *option);
aErr aPacket_GetIndex(const aPacket *p, uint8_t *index);

// Empties the packet for a new start.
aErr aPacket_Reset(aPacket *p);

// Appends one received byte of the byte form: aErrPacket for a 0 address, a length above
// aPACKET_MAXDATA or a byte past the end, aErrOverrun past 30 bytes. A refused address or
// data byte leaves the packet as it was; after a refused length byte the caller resets.
aErr aPacket_AddByte(aPacket *p, uint8_t byte);

// True when p is valid and holds its whole byte form.
bool aPacket_IsComplete(const aPacket *p);

// Copies the byte form into `buffer`; aErrOverrun when `size` is below length + 2.
// `written` (optional) receives length + 2.
aErr aPacket_GetBytes(const aPacket *p, uint8_t *buffer, size_t size, size_t *written);

// Frees the packet and nulls *p; aErrParam when p or *p is null or *p is invalid.
aErr aPacket_Destroy(aPacket **p);
