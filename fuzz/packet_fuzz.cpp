// libFuzzer main; the checks live in FuzzTargets.cpp, which the unit tests replay.
#include "FuzzTargets.h"

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    FuzzLogEverything();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!FuzzPacketStream(data, size))
        abort();
    return 0;
}
