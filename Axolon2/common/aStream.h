#pragma once
// A byte stream: four transport operations, the transport's object and a
// push-back ring of bytes that were read and handed back. The link engine reads
// on one thread and writes on another; the ring belongs to the reading side.
// A stream carries no lock of its own.
#include "aError.h"

#include <cstddef>
#include <cstdint>

// Transport operations. `get` answers aErrNone with a byte, aErrNotReady when
// no byte is there now (after at most the transport's own short wait), or a
// failure; `put`/`write` answer aErrNone only when every byte was handed on;
// `delete` closes the transport and frees `ref`. None may block indefinitely.
typedef aErr (*aStreamGetProc)(uint8_t *byte, void *ref);
typedef aErr (*aStreamPutProc)(uint8_t byte, void *ref);
typedef aErr (*aStreamWriteProc)(const uint8_t *bytes, size_t length, void *ref);
typedef aErr (*aStreamDeleteProc)(void *ref);

#define aSTREAM_MAGIC 0x4321

typedef struct aStream {
    aStreamGetProc get;
    aStreamPutProc put;
    aStreamWriteProc write;
    aStreamDeleteProc del; // `delete` in C terms; a C++ keyword here
    void *ref;
    uint8_t *pushback; // allocated when the first byte is handed back
    uint32_t pushbackCount;
    size_t pushbackSize;
    size_t pushbackRead;
    size_t pushbackWrite;
    uint16_t magic;
} aStream;

#define aVALIDSTREAM(s) ((s) != nullptr && (s)->magic == aSTREAM_MAGIC)

// A new stream over the given operations (any may be null); null when memory
// runs out. The stream owns `ref` from here on: aStream_Destroy hands it to `del`.
aStream *aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write, aStreamDeleteProc del,
                        void *ref);

// Reads exactly `length` bytes or consumes none: when the transport runs dry
// part-way (aErrNotReady) the bytes gathered go back to the push-back ring in
// order. aErrEOF still delivers the bytes gathered (without a count). Other
// failures drop them. aErrParam, aErrMode (no get), aErrResource (no scratch).
aErr aStream_Read(aStream *stream, uint8_t *buffer, size_t length);

// With `write` and more than one byte, one write call; otherwise `put` per byte,
// stopping at the first failure. aErrParam, aErrMode (neither operation).
aErr aStream_Write(aStream *stream, const uint8_t *data, size_t length);

// Hands one byte back; it is read again before any new byte of the transport.
// The ring starts at 512 bytes and grows by 512, keeping the order.
aErr aStreamBufferChar(aStream *stream, uint8_t byte);

// Calls `del` and returns its result, frees the ring and the record and sets
// `*stream` to null (also for an invalid stream, which gives aErrParam).
aErr aStream_Destroy(aStream **stream);
