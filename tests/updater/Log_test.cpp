#include <cstdio>
#include <gtest/gtest.h>
#include <string>

#include "Log.h"

namespace {

// Points the process-wide log at a temporary file and restores the silent default.
class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        file = tmpfile();
        ASSERT_NE(file, nullptr);
        Log::DeactivatePackage(~0u);
        Log::SetOutput(file);
    }
    void TearDown() override {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(~0u);
        fclose(file);
    }
    std::string written() {
        fflush(file);
        rewind(file);
        std::string text;
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
            text.append(buffer, n);
        return text;
    }
    FILE *file = nullptr;
};

TEST_F(LogTest, MaskZeroAlwaysWrittenPackagesOnlyWhenActivated) {
    Log::log(0, "always %d\n", 1);
    Log::log(DEBUG_ServerComm, "server %d\n", 1);
    Log::ActivatePackage(DEBUG_ServerComm | DEBUG_Network_Legacy);
    Log::log(DEBUG_ServerComm, "server %d\n", 2);
    Log::log(DEBUG_Updater, "updater\n");
    Log::log(DEBUG_Updater | DEBUG_ServerComm, "either\n");
    Log::DeactivatePackage(DEBUG_ServerComm);
    Log::log(DEBUG_ServerComm, "server %d\n", 3);
    Log::log(0, "always %d\n", 2);
    EXPECT_EQ(written(), "always 1\nserver 2\neither\nalways 2\n");
}

TEST_F(LogTest, WritesNoLineEndOfItsOwnAndCutsLongEntries) {
    Log::log(0, "a");
    Log::log(0, "%s", std::string(5000, 'x').c_str());
    std::string text = written();
    EXPECT_EQ(text, "a" + std::string(2047, 'x'));
}

TEST_F(LogTest, EntriesWithoutStreamAreDropped) {
    Log::SetOutput(nullptr);
    Log::log(0, "lost\n");
    Log::SetOutput(file);
    Log::log(0, "kept\n");
    EXPECT_EQ(written(), "kept\n");
}

} // namespace
