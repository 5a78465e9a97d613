#pragma once
// Thread-safe packet queues named by ids, between a link's threads and the
// application. A put stores a copy; every packet handed out is a new copy that
// the caller releases with aPacket_Destroy. At most 1000 packets are held: the
// put of the 1001st discards the whole queue (and still answers aErrNone).
// An unknown id makes every call return its empty answer (null, 0 or the code
// stated). Time-outs are in milliseconds on a monotonic clock.
#include "aError.h"
#include "aPacket.h"

#include <cstddef>
#include <cstdint>

typedef uint64_t aPacketFifoId; // 0: no FIFO

// Filter over queued packets. It sees the stored packet (it must neither keep
// nor release it) and runs with the FIFO's lock held, so it must not call into
// the same FIFO.
typedef bool (*aPacketFilterProc)(const aPacket *packet, void *reference);

constexpr size_t aPACKETFIFO_CAPACITY = 1000;

// A new FIFO's id, 0 if it cannot be made.
aPacketFifoId aPacketFifo_Create();

// Removes the FIFO, releases its packets and wakes every waiter (who returns
// null); sets *id to 0. aErrParam for a null pointer, aErrNotFound for an
// unknown id.
aErr aPacketFifo_Destroy(aPacketFifoId *id);

size_t aPacketFifo_GetLength(aPacketFifoId id);

// aErrParam for an unknown FIFO, an invalid packet or a failed copy;
// aErrResource when the queue cannot grow.
aErr aPacketFifo_Put(aPacketFifoId id, const aPacket *packet);

// The oldest packet, or null at once when there is none.
aPacket *aPacketFifo_Get(aPacketFifoId id);
// The oldest packet, waiting up to `timeoutMs`; null on time-out or destruction.
aPacket *aPacketFifo_Await(aPacketFifoId id, uint32_t timeoutMs);

// The oldest packet the procedure accepts, at once or waiting. During one wait
// each packet is offered to the procedure once, however often the waiter wakes.
aPacket *aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilterProc procedure, void *reference);
aPacket *aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilterProc procedure, void *reference, uint32_t timeoutMs);

// Removes every packet the procedure accepts; returns how many.
size_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilterProc procedure, void *reference);
