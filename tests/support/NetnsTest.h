#pragma once
// Base of the tests that run in a NetnsPair: the pair is made before each test, the test's
// thread moves into the host namespace, and the test skips where namespaces are refused.
// Members of a derived fixture (its devices) go before the pair does.
#include <memory>

#include <gtest/gtest.h>

#include "NetnsPair.h"

class NetnsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        net_ = std::make_unique<NetnsPair>();
        if (net_->refused())
            GTEST_SKIP() << "network namespaces unavailable: " << net_->error();
        ASSERT_TRUE(net_->ok()) << net_->error();
        ASSERT_TRUE(net_->enterHost());
    }

    std::unique_ptr<NetnsPair> net_;
};
