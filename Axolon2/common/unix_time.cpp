#include "aTime.h"

#include <cerrno>
#include <ctime>
#include <sys/time.h>

uint64_t aTime_GetMSTicks() {
    struct timeval now {};
    if (gettimeofday(&now, nullptr) != 0)
        return 0;
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_usec) / 1000u;
}

uint64_t aTime_NextSleepPiece(uint64_t remainingUs) {
    return remainingUs < aTIME_MAXSLEEPPIECE_US ? remainingUs : aTIME_MAXSLEEPPIECE_US;
}

void aTime_MSSleep(uint32_t ms) {
    uint64_t remaining = static_cast<uint64_t>(ms) * 1000u;
    while (remaining > 0) {
        uint64_t piece = aTime_NextSleepPiece(remaining);
        struct timespec want {
            0, static_cast<long>(piece * 1000u)
        };
        struct timespec left {};
        // A signal cuts a piece short; sleep out what is left of it.
        while (nanosleep(&want, &left) != 0 && errno == EINTR)
            want = left;
        remaining -= piece;
    }
}
