#include "aStream_CobsEncoding.h"

#include "aPacket.h"
#include "cobs.h"
#include "crc8.h"

#include <cstring>
#include <new>

namespace {

constexpr uint16_t kCobsMagic = 0xC0B5;
constexpr size_t kMaxBody = 31;   // encoded bytes of the largest frame, delimiter excluded
constexpr size_t kFrameSize = 32; // body plus delimiter

struct CobsStream {
    aStreamGetProc innerGet = nullptr;
    aStreamPutProc innerPut = nullptr;
    aStreamWriteProc innerWrite = nullptr;
    aStreamDeleteProc innerDelete = nullptr;
    void *innerRef = nullptr;
    uint16_t magic = kCobsMagic;
    // Reading side.
    uint8_t rxFrame[kMaxBody] = {};
    size_t rxCount = 0;
    bool rxReady = false;
    size_t rxNext = 0;
    // Writing side.
    aPacket *txPacket = nullptr;
    uint8_t txFrame[kFrameSize] = {};
    size_t txLength = 0;
};

bool sIsValid(const void *ref) { return ref != nullptr && static_cast<const CobsStream *>(ref)->magic == kCobsMagic; }

aErr sCobsStreamGet(uint8_t *byte, void *ref) {
    if (!sIsValid(ref) || !byte)
        return aErrParam;
    auto *s = static_cast<CobsStream *>(ref);
    if (s->rxReady) {
        *byte = s->rxFrame[s->rxNext++];
        if (s->rxNext >= s->rxCount) {
            s->rxReady = false;
            s->rxCount = 0;
            s->rxNext = 0;
        }
        return aErrNone;
    }
    uint8_t in = 0;
    if (!s->innerGet || s->innerGet(&in, s->innerRef) != aErrNone)
        return aErrNotReady;
    if (in != 0) {
        if (s->rxCount < kMaxBody)
            s->rxFrame[s->rxCount++] = in;
        return aErrNotReady;
    }
    if (s->rxCount == 0)
        return aErrNotReady;
    const size_t decoded = cobs_decode_inplace(s->rxFrame, s->rxCount);
    s->rxCount = 0;
    if (decoded <= 2 || decoded != static_cast<size_t>(s->rxFrame[1]) + 3 ||
        !crc8_check(s->rxFrame, decoded - 1, s->rxFrame[decoded - 1]))
        return aErrPacket;
    s->rxCount = decoded - 1;
    s->rxNext = 0;
    s->rxReady = true;
    return aErrNotReady;
}

aErr sCobsStreamSendPacket(CobsStream *s) {
    const aPacket *p = s->txPacket;
    if (p->length > aPACKET_MAXDATA - 1) {
        // 28 data bytes encode to 32, past what any receiver gathers.
        aPacket_Reset(s->txPacket);
        return aErrSize;
    }
    s->txFrame[0] = p->address;
    s->txFrame[1] = p->length;
    std::memcpy(&s->txFrame[2], p->data, p->length);
    size_t n = static_cast<size_t>(p->length) + 2;
    aPacket_Reset(s->txPacket);
    s->txFrame[n] = crc8_create(s->txFrame, n);
    ++n;
    n = cobs_encode_inplace(s->txFrame, n);
    s->txFrame[n++] = 0;
    s->txLength = n;
    if (!s->innerWrite)
        return aErrMode;
    return s->innerWrite(s->txFrame, s->txLength, s->innerRef);
}

aErr sCobsStreamWrite(const uint8_t *bytes, size_t length, void *ref) {
    if (!sIsValid(ref) || (!bytes && length > 0))
        return aErrParam;
    auto *s = static_cast<CobsStream *>(ref);
    aErr result = aErrNone;
    for (size_t i = 0; i < length; ++i) {
        if (aPacket_AddByte(s->txPacket, bytes[i]) != aErrNone) {
            // A refused length byte leaves the assembler in a state it cannot finish from.
            if (s->txPacket->address != 0 && s->txPacket->length > aPACKET_MAXDATA)
                aPacket_Reset(s->txPacket);
            continue;
        }
        if (aPacket_IsComplete(s->txPacket)) {
            const aErr err = sCobsStreamSendPacket(s);
            if (err != aErrNone)
                result = err;
        }
    }
    return result;
}

aErr sCobsStreamPut(uint8_t byte, void *ref) {
    if (!sIsValid(ref))
        return aErrParam;
    auto *s = static_cast<CobsStream *>(ref);
    return s->innerPut ? s->innerPut(byte, s->innerRef) : aErrMode;
}

aErr sCobsStreamDelete(void *ref) {
    if (!sIsValid(ref))
        return aErrParam;
    auto *s = static_cast<CobsStream *>(ref);
    aErr err = aErrNone;
    if (s->innerDelete)
        err = s->innerDelete(s->innerRef);
    aPacket_Destroy(&s->txPacket);
    s->magic = 0;
    delete s;
    return err;
}

} // namespace

aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write, aStreamDeleteProc del,
                                void *ref, aStream **stream) {
    if (!stream)
        return aErrParam;
    *stream = nullptr;
    auto *s = new (std::nothrow) CobsStream;
    if (!s)
        return aErrMemory;
    s->txPacket = aPacket_Create();
    if (!s->txPacket) {
        delete s;
        return aErrMemory;
    }
    s->innerGet = get;
    s->innerPut = put;
    s->innerWrite = write;
    s->innerDelete = del;
    s->innerRef = ref;
    *stream = aStream_Create(sCobsStreamGet, sCobsStreamPut, sCobsStreamWrite, sCobsStreamDelete, s);
    if (!*stream) {
        aPacket_Destroy(&s->txPacket);
        delete s;
        return aErrResource;
    }
    return aErrNone;
}
