#pragma once
// One input of each fuzz target, shared by the libFuzzer mains in fuzz/ and by the unit
// test that replays saved inputs in every build. Each feeds the bytes to the parser's real
// entry points, then checks what the parser promises about its result. False (with the
// broken promise on stderr) when a check fails; memory faults are the sanitizers' to report.
#include <cstddef>
#include <cstdint>

// First byte even: the rest is a whole BIRD file. Odd: the rest is a 6-byte header and the
// block stream, compressed here, so mutations reach the block parser instead of zlib.
bool FuzzBirdFile(const uint8_t *data, size_t size);
// The bytes are an update server answer body: the "ok" check, each answer's parser, Base64.
bool FuzzServerAnswer(const uint8_t *data, size_t size);
// The bytes are a settings file: loaded, saved and loaded again.
bool FuzzKeyValueStore(const uint8_t *data, size_t size);
// The bytes arrive on a COBS framed stream and are assembled into packets; written to one,
// they must come back as the packets they hold. Also the bare COBS and CRC-8 functions.
bool FuzzPacketStream(const uint8_t *data, size_t size);

// Debug log of every package to /dev/null, so the log lines that quote parsed text are
// formatted too. The previous packages come back with RestoreLog.
void FuzzLogEverything();
void FuzzRestoreLog();
