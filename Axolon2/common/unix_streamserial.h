#pragma once
#include "aStream.h"

// Serial line streams (termios). `baudIndex` 0..7 selects 2400, 4800, 9600,
// 19200, 38400, 57600, 115200 or 230400 baud; any other index hangs the line
// up. `parity` on selects even parity; `dataBits` 0 is 8 bits, 1 is 7 bits;
// `stopBits` 0 is one stop bit, 1 is two. Selectors above 1 and null names or
// out-pointers give aErrParam. A missing port gives aErrNotFound, one without
// access rights aErrPermission, other failures aErrIO. Closing the stream puts
// the port's earlier settings back.
//
// `get` waits up to about 10 ms for input before it answers aErrNotReady.
aErr aStream_CreateSerial(const char *portName, int baudIndex, int parity, int dataBits, int stopBits,
                          aStream **stream);

// The same port with the packetized framing (COBS with CRC-8) on top.
aErr aStream_CreateSerial_Packetized(const char *portName, int baudIndex, int parity, int dataBits, int stopBits,
                                     aStream **stream);
