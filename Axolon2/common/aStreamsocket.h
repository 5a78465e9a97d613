#pragma once
#include "aStream.h"

// A TCP stream to `address` (IPv4, network byte order, as discovery delivers
// it) and `port` (host order), connected at once. Every failure, a refused
// connection included, gives aErrResource and leaves `*stream` null.
//
// `get` waits up to about 10 ms for input before it answers aErrNotReady, so a
// reader that loops on it stays cheap. A connection the peer closes or resets
// is reported once with aErrConnection; the next `get` connects again.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream **stream);
