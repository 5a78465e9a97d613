#include "aPacket.h"

#include <cstring>
#include <new>

namespace {

const aPacket sTemplate = {aPACKET_MAGIC, 0, 0, 0, {}};

aPacket *sNew() { return new (std::nothrow) aPacket(sTemplate); }

aErr sDataByte(const aPacket *p, uint8_t position, uint8_t *out) {
    if (out == nullptr)
        return aErrParam;
    if (!aVALIDPACKET(p) || p->length <= position || p->length > aPACKET_MAXDATA)
        return aErrPacket;
    *out = p->data[position];
    return aErrNone;
}

} // namespace

aPacket *aPacket_Create() { return sNew(); }

aPacket *aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t *data) {
    if (data == nullptr || length > aPACKET_MAXDATA)
        return nullptr;
    aPacket *p = sNew();
    if (p == nullptr)
        return nullptr;
    p->address = address;
    p->length = length;
    memcpy(p->data, data, length);
    p->count = static_cast<uint8_t>(length + 2);
    return p;
}

aPacket *aPacket_Copy(const aPacket *p) {
    if (!aVALIDPACKET(p) || p->length > aPACKET_MAXDATA)
        return nullptr;
    return aPacket_CreateWithData(p->address, p->length, p->data);
}

aErr aPacket_GetCmd(const aPacket *p, uint8_t *cmd) { return sDataByte(p, 0, cmd); }

aErr aPacket_GetOption(const aPacket *p, uint8_t *option) {
    aErr err = sDataByte(p, 1, option);
    if (err == aErrNone)
        *option &= 0x3F;
    return err;
}

aErr aPacket_GetIndex(const aPacket *p, uint8_t *index) {
    aErr err = sDataByte(p, 2, index);
    if (err == aErrNone)
        *index &= 0x1F;
    return err;
}

aErr aPacket_Reset(aPacket *p) {
    if (!aVALIDPACKET(p))
        return aErrParam;
    *p = sTemplate;
    return aErrNone;
}

aErr aPacket_AddByte(aPacket *p, uint8_t byte) {
    if (!aVALIDPACKET(p))
        return aErrParam;
    // The count never passes 30, so a stream that keeps feeding cannot wrap it round.
    if (p->count >= aPACKET_MAXBYTES)
        return aErrOverrun;
    if (p->address == 0) {
        // Not counted: a caller that skips the byte can go on with the next one.
        if (byte == 0)
            return aErrPacket;
        p->address = byte;
        p->count++;
        return aErrNone;
    }
    if (p->length == 0) {
        p->length = byte;
        p->count++;
        return byte > aPACKET_MAXDATA ? aErrPacket : aErrNone;
    }
    if (p->count + 1 > p->length + 2)
        return aErrPacket;
    p->count++;
    p->data[p->count - 3] = byte;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket *p) {
    return aVALIDPACKET(p) && p->length <= aPACKET_MAXDATA && p->count == p->length + 2;
}

aErr aPacket_GetBytes(const aPacket *p, uint8_t *buffer, size_t size, size_t *written) {
    if (!aVALIDPACKET(p) || buffer == nullptr || p->length > aPACKET_MAXDATA)
        return aErrParam;
    size_t total = size_t{p->length} + 2;
    if (size < total)
        return aErrOverrun;
    buffer[0] = p->address;
    buffer[1] = p->length;
    memcpy(buffer + 2, p->data, p->length);
    if (written != nullptr)
        *written = total;
    return aErrNone;
}

aErr aPacket_Destroy(aPacket **p) {
    if (p == nullptr || !aVALIDPACKET(*p))
        return aErrParam;
    (*p)->magic = 0;
    delete *p;
    *p = nullptr;
    return aErrNone;
}
