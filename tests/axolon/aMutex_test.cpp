#include "aMutex.h"

#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace {

TEST(Mutex, NamesUpTo255Characters) {
    std::string longest(255, 'm');
    aMutexRef mutex = aMutex_Create(longest.c_str());
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(aMutex_Identifier(mutex), longest);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);

    EXPECT_EQ(aMutex_Create(std::string(256, 'm').c_str()), nullptr);
    EXPECT_EQ(aMutex_Create(std::string(300, 'm').c_str()), nullptr);

    mutex = aMutex_Create(nullptr);
    ASSERT_NE(mutex, nullptr);
    EXPECT_STREQ(aMutex_Identifier(mutex), "");
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
}

TEST(Mutex, ExcludesOtherThreads) {
    aMutexRef mutex = aMutex_Create("counter");
    ASSERT_NE(mutex, nullptr);
    int counter = 0;
    auto work = [&] {
        for (int i = 0; i < 1000; ++i) {
            ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
            ++counter;
            ASSERT_EQ(aMutex_Unlock(mutex), aErrNone);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 2000);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
}

TEST(Mutex, HeldMutexIsNotDestroyed) {
    aMutexRef mutex = aMutex_Create("held");
    ASSERT_NE(mutex, nullptr);
    ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrBusy);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
    EXPECT_EQ(mutex, nullptr);
}

TEST(Mutex, ADestroyedHandleIsRefused) {
    aMutexRef mutex = aMutex_Create("gone");
    ASSERT_EQ(aMutex_Destroy(&mutex), aErrNone);
    EXPECT_EQ(mutex, nullptr);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrParam);
    EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Lock(mutex), aErrParam);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrParam);
    EXPECT_EQ(aMutex_Identifier(mutex), nullptr);
}

} // namespace
