#include "aUEI.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

bool sIsRawCommand(uint8_t cmd) {
    switch (cmd) {
    case 0:
    case 1:
    case 2:
    case 4:
    case 8:
    case 9:
    case 23:
    case 24:
    case 73:
    case 94:
    case 95:
    case 173:
    case 175:
        return true;
    default:
        return false;
    }
}

uint8_t sLastDataByte(const aPacket *p) {
    if (!aVALIDPACKET(p) || p->length == 0 || p->length > aPACKET_MAXDATA)
        return 0;
    return p->data[p->length - 1];
}

void sDestroyAll(std::vector<aPacket *> &packets) {
    for (aPacket *&p : packets)
        aPacket_Destroy(&p);
    packets.clear();
}

} // namespace

bool aUEI_isNotUEIPayload(const aPacket *p) {
    if (!aVALIDPACKET(p))
        return false;
    return sIsRawCommand(p->data[0]);
}

bool aUEI_isUEIPayload(const aPacket *p) { return !aUEI_isNotUEIPayload(p); }

bool aUEI_isStreamPacket(const aPacket *p) {
    if (!aVALIDPACKET(p) || p->length <= 4 || !aUEI_isUEIPayload(p))
        return false;
    return (p->data[1] & (ueiOPTION_GET | ueiOPTION_SET)) == 0 && (p->data[2] & ueiINDEX_STREAM) != 0;
}

uint8_t aUEI_getBytesSequence(const aPacket *p) { return sLastDataByte(p) & ueiBYTES_SEQUENCE_MASK; }

uint8_t aUEI_getBytesContinue(const aPacket *p) { return (sLastDataByte(p) & ueiBYTES_CONTINUE) ? 1 : 0; }

bool aUEI_getBytesFullPacket(const aPacket *p) { return aVALIDPACKET(p) && (p->length == 27 || p->length == 28); }

void aUEI_StoreShort(uint8_t *buffer, uint16_t value) {
    buffer[0] = static_cast<uint8_t>(value >> 8);
    buffer[1] = static_cast<uint8_t>(value);
}

uint16_t aUEI_RetrieveShort(const uint8_t *buffer) { return static_cast<uint16_t>(buffer[0] << 8 | buffer[1]); }

void aUEI_StoreInt(uint8_t *buffer, uint32_t value) {
    buffer[0] = static_cast<uint8_t>(value >> 24);
    buffer[1] = static_cast<uint8_t>(value >> 16);
    buffer[2] = static_cast<uint8_t>(value >> 8);
    buffer[3] = static_cast<uint8_t>(value);
}

uint32_t aUEI_RetrieveInt(const uint8_t *buffer) {
    return uint32_t{buffer[0]} << 24 | uint32_t{buffer[1]} << 16 | uint32_t{buffer[2]} << 8 | buffer[3];
}

void aUEI_ModifyIntBuffer(uint8_t *buffer, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        uint32_t host = aUEI_RetrieveInt(buffer + 4 * i);
        memcpy(buffer + 4 * i, &host, sizeof host);
    }
}

aErr aUEI_BuildBytesPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index, const uint8_t *data,
                            size_t length, std::vector<aPacket *> &packets) {
    packets.clear();
    if (data == nullptr && length > 0)
        return aErrParam;
    try {
        packets.reserve(length / ueiBYTES_PER_PACKET + 1);
    } catch (const std::bad_alloc &) {
        return aErrMemory;
    }
    size_t sent = 0;
    uint8_t counter = 0;
    bool more = false;
    do {
        size_t k = std::min(length - sent, ueiBYTES_PER_PACKET);
        more = sent + k < length;
        uint8_t payload[aPACKET_MAXDATA] = {command, option, index};
        if (k > 0)
            memcpy(payload + 3, data + sent, k);
        payload[3 + k] = static_cast<uint8_t>((more ? ueiBYTES_CONTINUE : 0) | (counter & ueiBYTES_SEQUENCE_MASK));
        aPacket *p = aPacket_CreateWithData(module, static_cast<uint8_t>(k + 4), payload);
        if (p == nullptr) {
            sDestroyAll(packets);
            return aErrMemory;
        }
        packets.push_back(p); // capacity reserved above: cannot throw
        sent += k;
        counter++;
    } while (more);
    return aErrNone;
}
