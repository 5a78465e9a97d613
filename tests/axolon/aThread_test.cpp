#include "aThread.h"

#include <atomic>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <utility>
#include <vector>

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

struct SelfDestroy {
    std::promise<aThreadRef> handle;
    std::promise<std::pair<aErr, bool>> outcome; // the code, and whether the handle was nulled
};

void sDestroySelf(void *argument) {
    auto *context = static_cast<SelfDestroy *>(argument);
    aThreadRef self = context->handle.get_future().get();
    aErr err = aThread_Destroy(&self);
    context->outcome.set_value({err, self == nullptr});
}

// A thread that destroys its own handle cannot join itself: it must get an answer, not hang.
TEST(Thread, DestroyFromTheThreadItselfDetaches) {
    // Kept to the end of the process: the detached thread touches it while it finishes.
    static std::vector<std::unique_ptr<SelfDestroy>> contexts;
    contexts.push_back(std::make_unique<SelfDestroy>());
    SelfDestroy *context = contexts.back().get();
    std::future<std::pair<aErr, bool>> outcome = context->outcome.get_future();
    aThreadRef thread = aThread_Create(sDestroySelf, context);
    ASSERT_NE(thread, nullptr);
    context->handle.set_value(thread);
    ASSERT_EQ(outcome.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    std::pair<aErr, bool> result = outcome.get();
    EXPECT_EQ(result.first, aErrDuplicate);
    EXPECT_TRUE(result.second);
}

} // namespace
