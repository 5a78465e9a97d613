#pragma once
// Packetized framing over any transport: each packet written travels as one
// frame, COBS(address, length, data, CRC-8) followed by 0x00; frames read are
// checked and handed out as the packet's plain bytes. A frame carries at most
// 27 data bytes (31 encoded bytes).
#include "aStream.h"

// Wraps a transport's operations; the new stream owns `ref` (its `del` runs on
// destroy). aErrParam for a null out-pointer, aErrMemory, aErrResource.
//
// Reading: `get` answers aErrNotReady while a frame is gathered (any failure of
// the inner transport also reads as aErrNotReady), aErrPacket once for a frame
// that fails its checks, then the packet's bytes one per call.
// Writing: bytes are assembled into packets; a packet with more data than a
// frame can carry is dropped with aErrSize. `put` passes one byte unframed.
aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write, aStreamDeleteProc del,
                                void *ref, aStream **stream);
