#include "aThread.h"

#include <atomic>
#include <gtest/gtest.h>

namespace {

void sAddOne(void *counter) { static_cast<std::atomic<int> *>(counter)->fetch_add(1); }

TEST(Thread, DestroyWaitsForTheProcedure) {
    std::atomic<int> counter{0};
    aThreadRef threads[4] = {};
    for (aThreadRef &thread : threads) {
        thread = aThread_Create(sAddOne, &counter);
        ASSERT_NE(thread, nullptr);
    }
    for (aThreadRef &thread : threads) {
        EXPECT_EQ(aThread_Destroy(&thread), aErrNone);
        EXPECT_EQ(thread, nullptr);
    }
    EXPECT_EQ(counter.load(), 4); // every procedure finished before its Destroy returned
}

TEST(Thread, ADestroyedHandleIsRefused) {
    std::atomic<int> counter{0};
    aThreadRef thread = aThread_Create(sAddOne, &counter);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(aThread_Destroy(&thread), aErrNone);
    EXPECT_EQ(aThread_Destroy(&thread), aErrParam);
    EXPECT_EQ(aThread_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aThread_Create(nullptr, &counter), nullptr);
}

} // namespace
