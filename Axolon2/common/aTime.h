#pragma once
// Clock and sleep.

#include <cstdint>

// Milliseconds since the epoch from the wall clock; 0 when the clock cannot be read. Time-outs
// built on it follow changes of the wall clock; waits inside the library use a monotonic clock.
uint64_t aTime_GetMSTicks();

// Sleeps `ms` milliseconds; returns at once for 0.
void aTime_MSSleep(uint32_t ms);

// Longest single sleep, in microseconds: a longer sleep is taken in pieces of at most this.
constexpr uint64_t aTIME_MAXSLEEPPIECE_US = 999999;

// The next piece of a sleep of which `remainingUs` microseconds are left (0 when done).
uint64_t aTime_NextSleepPiece(uint64_t remainingUs);
