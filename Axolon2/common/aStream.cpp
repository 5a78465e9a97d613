#include "aStream.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr size_t kPushbackChunk = 512;
// Reads up to this length use a scratch buffer on the stack; the link engine
// reads one byte at a time and should not allocate for each.
constexpr size_t kStackScratch = 64;

bool sStreamGetBufferedChar(aStream *stream, uint8_t *byte) {
    if (stream->pushbackCount == 0)
        return false;
    *byte = stream->pushback[stream->pushbackRead];
    stream->pushbackRead = (stream->pushbackRead + 1) % stream->pushbackSize;
    --stream->pushbackCount;
    return true;
}

} // namespace

aStream *aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write, aStreamDeleteProc del,
                        void *ref) {
    auto *stream = static_cast<aStream *>(std::calloc(1, sizeof(aStream)));
    if (!stream)
        return nullptr;
    stream->get = get;
    stream->put = put;
    stream->write = write;
    stream->del = del;
    stream->ref = ref;
    stream->magic = aSTREAM_MAGIC;
    return stream;
}

aErr aStreamBufferChar(aStream *stream, uint8_t byte) {
    if (!aVALIDSTREAM(stream))
        return aErrParam;
    if (!stream->pushback) {
        stream->pushback = static_cast<uint8_t *>(std::malloc(kPushbackChunk));
        if (!stream->pushback)
            return aErrMemory;
        stream->pushbackSize = kPushbackChunk;
        stream->pushbackCount = 0;
        stream->pushbackRead = 0;
        stream->pushbackWrite = 0;
    }
    if (stream->pushbackCount >= stream->pushbackSize - 1) {
        const size_t newSize = stream->pushbackSize + kPushbackChunk;
        auto *grown = static_cast<uint8_t *>(std::malloc(newSize));
        if (!grown)
            return aErrMemory;
        // Copy in reading order so the ring restarts at index 0.
        for (uint32_t i = 0; i < stream->pushbackCount; ++i)
            grown[i] = stream->pushback[(stream->pushbackRead + i) % stream->pushbackSize];
        std::free(stream->pushback);
        stream->pushback = grown;
        stream->pushbackRead = 0;
        stream->pushbackWrite = stream->pushbackCount;
        stream->pushbackSize = newSize;
    }
    stream->pushback[stream->pushbackWrite] = byte;
    stream->pushbackWrite = (stream->pushbackWrite + 1) % stream->pushbackSize;
    ++stream->pushbackCount;
    return aErrNone;
}

aErr aStream_Read(aStream *stream, uint8_t *buffer, size_t length) {
    if (!aVALIDSTREAM(stream) || !buffer)
        return aErrParam;
    if (!stream->get)
        return aErrMode;
    uint8_t stackScratch[kStackScratch];
    std::unique_ptr<uint8_t[]> heapScratch;
    uint8_t *scratch = stackScratch;
    if (length > kStackScratch) {
        heapScratch.reset(new (std::nothrow) uint8_t[length]);
        if (!heapScratch)
            return aErrResource;
        scratch = heapScratch.get();
    }
    aErr err = aErrNone;
    size_t got = 0;
    while (got < length) {
        if (sStreamGetBufferedChar(stream, &scratch[got])) {
            ++got;
            continue;
        }
        err = stream->get(&scratch[got], stream->ref);
        if (err != aErrNone)
            break;
        ++got;
    }
    if (err == aErrNotReady) {
        // The ring was empty when get ran dry, so handing the bytes back in order
        // restores the stream exactly.
        for (size_t i = 0; i < got; ++i) {
            const aErr pushErr = aStreamBufferChar(stream, scratch[i]);
            if (pushErr != aErrNone)
                return pushErr;
        }
        return aErrNotReady;
    }
    if (err == aErrNone || err == aErrEOF)
        std::memcpy(buffer, scratch, got);
    return err;
}

aErr aStream_Write(aStream *stream, const uint8_t *data, size_t length) {
    if (!aVALIDSTREAM(stream) || !data)
        return aErrParam;
    if (!stream->write && !stream->put)
        return aErrMode;
    if (stream->write && (length > 1 || !stream->put))
        return stream->write(data, length, stream->ref);
    for (size_t i = 0; i < length; ++i) {
        const aErr err = stream->put(data[i], stream->ref);
        if (err != aErrNone)
            return err;
    }
    return aErrNone;
}

aErr aStream_Destroy(aStream **stream) {
    if (!stream)
        return aErrParam;
    aStream *s = *stream;
    *stream = nullptr;
    if (!aVALIDSTREAM(s))
        return aErrParam;
    aErr err = aErrNone;
    if (s->del)
        err = s->del(s->ref);
    std::free(s->pushback);
    s->magic = 0;
    std::free(s);
    return err;
}
