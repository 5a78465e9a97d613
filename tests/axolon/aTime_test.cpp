#include "aTime.h"

#include <chrono>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <vector>

namespace {

std::vector<uint64_t> sPieces(uint32_t ms) {
    std::vector<uint64_t> pieces;
    for (uint64_t left = uint64_t{ms} * 1000; left > 0; left -= pieces.back())
        pieces.push_back(aTime_NextSleepPiece(left));
    return pieces;
}

TEST(Time, SleepIsTakenInPiecesBelowOneSecond) {
    EXPECT_EQ(sPieces(2500), (std::vector<uint64_t>{999999, 999999, 500002}));
    EXPECT_EQ(sPieces(1000), (std::vector<uint64_t>{999999, 1}));
    EXPECT_EQ(sPieces(999), (std::vector<uint64_t>{999000}));
    EXPECT_TRUE(sPieces(0).empty());
}

TEST(Time, ZeroSleepReturns) { aTime_MSSleep(0); }

// Only a lower bound: a loaded machine may oversleep, never undersleep.
TEST(Time, SleepLastsAtLeastItsTime) {
    auto start = std::chrono::steady_clock::now();
    aTime_MSSleep(30);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

TEST(Time, TicksFollowTheWallClock) {
    struct timeval before {};
    ASSERT_EQ(gettimeofday(&before, nullptr), 0);
    uint64_t ticks = aTime_GetMSTicks();
    uint64_t expected = uint64_t(before.tv_sec) * 1000 + uint64_t(before.tv_usec) / 1000;
    EXPECT_GE(ticks, expected);
    EXPECT_LT(ticks - expected, 60000u);
}

} // namespace
