#include "UpdateServerRequest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <mutex>

#include "ClosedPort.h"
#include "Log.h"
#include "SimHttpServer.h"

namespace {

// A loopback server answering every request with the body the test sets.
class UpdateServerRequestTest : public ::testing::Test {
  protected:
    sim::SimReply reply{200, "ok\n"};
    std::mutex mutex;
    std::string target;
    sim::SimHttpServer server{[this](const std::string &t) {
        std::lock_guard<std::mutex> lock(mutex);
        target = t;
        return reply;
    }};
    std::string url = server.url();

    void answer(const std::string &body, int status = 200) { reply = sim::SimReply{status, body}; }
    std::string lastTarget() {
        std::lock_guard<std::mutex> lock(mutex);
        return target;
    }
};

const uint32_t kFingerprint[4] = {0xA, 0xB, 0xC0FFEE, 0xDEADDEAD};

struct Request {
    const char *name;
    std::function<bool(const char *url)> call;
};

const Request kRequests[] = {
    {"ping", [](const char *u) { return UpdateServerRequest::ping(u); }},
    {"QueryBuild",
     [](const char *u) {
         std::string b, f;
         return UpdateServerRequest::QueryBuild(0x1234ABCD, b, f, u);
     }},
    {"GetBuild",
     [](const char *u) {
         std::string image;
         return UpdateServerRequest::GetBuild(0x1234ABCD, "FW", "120", image, u, false);
     }},
    {"GetBuildList",
     [](const char *u) {
         BuildList builds;
         return UpdateServerRequest::GetBuildList(0x1234ABCD, builds, u);
     }},
    {"GetRecoveryInfo",
     [](const char *u) {
         uint32_t serial = 0, build = 0;
         return UpdateServerRequest::GetRecoveryInfo(kFingerprint, &serial, &build, u);
     }},
    {"GetDeviceJWT",
     [](const char *u) {
         std::string token;
         return UpdateServerRequest::GetDeviceJWT(0x1234ABCD, token, u);
     }},
};

} // namespace

TEST_F(UpdateServerRequestTest, EveryRequestSendsItsParametersInKeyOrder) {
    answer("ok\n");
    const char *expected[] = {
        "/cgi/u?op=hi&rv=2&",
        "/cgi/u?op=qu&sn=1234ABCD&",
        "/cgi/u?bld=120&fw=FW&no_cal=false&op=bird&sn=1234ABCD&",
        "/cgi/u?op=builds&sn=1234ABCD&",
        "/cgi/u?brief=true&fp=0000000A%200000000B%2000C0FFEE%20DEADDEAD&op=fix&",
        "/cgi/u?json=false&op=ent_jwt&sn=1234ABCD&",
    };
    for (size_t i = 0; i < std::size(kRequests); ++i) {
        kRequests[i].call(url.c_str());
        EXPECT_EQ(lastTarget(), expected[i]) << kRequests[i].name;
    }
    std::string image;
    UpdateServerRequest::GetBuild(0x00000001, "FW", "7", image, url.c_str(), true);
    EXPECT_EQ(lastTarget(), "/cgi/u?bld=7&fw=FW&no_cal=true&op=bird&sn=00000001&");
}

// The answer checks shared by all six: a first line beginning with "ok", after any blank
// lines, and status 200. "okay" passes: only the two characters are compared.
TEST_F(UpdateServerRequestTest, CommonAnswerHandling) {
    const struct {
        const char *body;
        int status;
        bool accepted;
    } cases[] = {
        {"ok\n", 200, true},  {"\n\nok\n", 200, true},     {"okay\r\n", 200, true},
        {"OK\n", 200, false}, {"error\nok\n", 200, false}, {"", 200, false},
        {"\n\n", 200, false}, {"ok\n", 500, false},        {"ok\n", 404, false},
    };
    for (const auto &c : cases) {
        answer(c.body, c.status);
        // ping needs nothing more; the others are checked for rejection only, since an
        // accepted bare "ok" is not a complete answer for every request.
        EXPECT_EQ(UpdateServerRequest::ping(url.c_str()), c.accepted) << c.body << " " << c.status;
        if (!c.accepted) {
            for (const auto &r : kRequests) {
                EXPECT_FALSE(r.call(url.c_str())) << r.name << " with " << c.body << " " << c.status;
            }
        }
    }
    ClosedPort down;
    for (const auto &r : kRequests)
        EXPECT_FALSE(r.call(down.url().c_str())) << r.name << " against a server that is down";
}

TEST_F(UpdateServerRequestTest, ARefusedAnswerIsLoggedWithTheRequest) {
    char *text = nullptr;
    size_t size = 0;
    FILE *capture = open_memstream(&text, &size);
    Log::SetOutput(capture);
    Log::ActivatePackage(DEBUG_ServerComm);
    answer("error\n");
    BuildList builds;
    UpdateServerRequest::GetBuildList(0x1234ABCD, builds, url.c_str());
    answer("busy", 503);
    UpdateServerRequest::ping(url.c_str());
    Log::DeactivatePackage(DEBUG_ServerComm);
    Log::SetOutput(stderr);
    fclose(capture);
    std::string log(text, size);
    free(text);
    EXPECT_NE(log.find("ServerCommClass: GetBuildList failed [" + url + "?op=builds&sn=1234ABCD&]\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("PING ==> [503] [busy]\n"), std::string::npos) << log;
}

TEST_F(UpdateServerRequestTest, QueryBuildReadsBuildAndFirmwareLines) {
    std::string build = "old", firmware = "old";
    answer("ok\n1234\nABC\r\n");
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(0x1234ABCD, build, firmware, url.c_str()));
    EXPECT_EQ(build, "1234");
    EXPECT_EQ(firmware, "ABC");

    answer("ok\n\n\n77\r\n\nFW-2\n");
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(0x1234ABCD, build, firmware, url.c_str()));
    EXPECT_EQ(build, "77\r"); // users convert it with a conversion that stops at "\r"
    EXPECT_EQ(firmware, "FW-2");

    answer("ok\n5\n");
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(0x1234ABCD, build, firmware, url.c_str()));
    EXPECT_EQ(build, "5");
    EXPECT_EQ(firmware, "FW-2") << "a missing line leaves its value alone";
}

TEST_F(UpdateServerRequestTest, GetBuildTakesTheSecondLineOnly) {
    std::string image = "stale";
    answer("ok\nQUJD\nmore\n");
    ASSERT_TRUE(UpdateServerRequest::GetBuild(1, "FW", "1", image, url.c_str(), false));
    EXPECT_EQ(image, "QUJD");
    answer("\nok\n\nQUJD");
    ASSERT_TRUE(UpdateServerRequest::GetBuild(1, "FW", "1", image, url.c_str(), false));
    EXPECT_EQ(image, "QUJD");
    answer("ok\n");
    ASSERT_TRUE(UpdateServerRequest::GetBuild(1, "FW", "1", image, url.c_str(), false));
    EXPECT_EQ(image, "");
}

TEST_F(UpdateServerRequestTest, GetBuildListKeepsTheFirstLineOfEachBuild) {
    BuildList builds{{"stale", "0.0.0"}};
    answer("ok\n12;1.2.3\nx\n12;9.9.9\n130\n\n;;140;;2.0.0\r\n;;;\n");
    ASSERT_TRUE(UpdateServerRequest::GetBuildList(0x1234ABCD, builds, url.c_str()));
    EXPECT_EQ(builds, (BuildList{{"12", "1.2.3"}, {"130", ""}, {"140", "2.0.0"}}));

    answer("error\n");
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(0x1234ABCD, builds, url.c_str()));
    EXPECT_TRUE(builds.empty());
}

TEST_F(UpdateServerRequestTest, GetRecoveryInfoReadsHexSerialAndAnyBaseBuild) {
    const struct {
        const char *body;
        uint32_t serial, build;
    } cases[] = {
        {"ok\n40F5849A\n120\n", 0x40F5849A, 120},
        {"ok\n1234abcd\n0x10\r\n", 0x1234ABCD, 16},
        {"ok\n1\n010\n", 1, 8},
        {"ok\n2\n", 2, 99}, // no build line: unchanged
    };
    for (const auto &c : cases) {
        answer(c.body);
        uint32_t serial = 99, build = 99;
        ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(kFingerprint, &serial, &build, url.c_str())) << c.body;
        EXPECT_EQ(serial, c.serial) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
    }
}

TEST_F(UpdateServerRequestTest, GetDeviceJWTWantsThreePartsOfTwoOrMoreCharacters) {
    const struct {
        const char *body;
        const char *token; // null: refused
    } cases[] = {
        {"ok\naa.bb.cc\r\n", "aa.bb.cc"},
        {"ok\neyJhbGci.eyJzdWIi.c2ln.extra\n", "eyJhbGci.eyJzdWIi.c2ln.extra"},
        {"ok\na.b.c\n", nullptr},
        {"ok\naa.bb\n", nullptr},
        {"ok\naa.bb.c\n", nullptr},
        {"ok\nab\n", nullptr},
        {"ok\n", nullptr},
    };
    for (const auto &c : cases) {
        answer(c.body);
        std::string token = "before";
        bool ok = UpdateServerRequest::GetDeviceJWT(0x1234ABCD, token, url.c_str());
        EXPECT_EQ(ok, c.token != nullptr) << c.body;
        if (c.token) {
            EXPECT_EQ(token, c.token) << c.body;
        }
    }
}

TEST(BuildVersions, SplitNeedsExactlyThreeParts) {
    EXPECT_EQ(UpdateServerRequest::SplitAxolonVersion("1.10.0"), (std::vector<std::string>{"1", "10", "0"}));
    EXPECT_EQ(UpdateServerRequest::SplitAxolonVersion("1..3"), (std::vector<std::string>{"1", "", "3"}));
    for (const char *bad : {"", "1.2", "1.2.3.4", "123"})
        EXPECT_TRUE(UpdateServerRequest::SplitAxolonVersion(bad).empty()) << bad;
}

TEST(BuildVersions, NewestFirstByNumberNotText) {
    SortedBuildList sorted = UpdateServerRequest::SortBuildsByVersion(
        {{"100", "1.9.2"}, {"120", "1.10.0"}, {"90", "2.0.0"}, {"5", "1.2"}, {"6", "1.2.x"}, {"7", ""}});
    SortedBuildList expected{{"90", "2.0.0"}, {"120", "1.10.0"}, {"100", "1.9.2"},
                             {"5", "1.2"},    {"6", "1.2.x"},    {"7", ""}};
    EXPECT_EQ(sorted, expected);
}

TEST(BuildVersions, PartsCompareByTheirLowEightBits) {
    EXPECT_TRUE(UpdateServerRequest::VersionGoesBefore("1.0.45", "1.0.300")); // 300 is 44
    EXPECT_FALSE(UpdateServerRequest::VersionGoesBefore("1.0.0", "1.0.256"));
    EXPECT_FALSE(UpdateServerRequest::VersionGoesBefore("1.0.256", "1.0.0"));
    EXPECT_TRUE(UpdateServerRequest::VersionGoesBefore(" 2.0.1x", "1.255.255"));
    for (const char *bad : {"1.2", "1.2.x", "1.99999999999.0"}) {
        EXPECT_FALSE(UpdateServerRequest::VersionGoesBefore(bad, "0.0.0")) << bad;
        EXPECT_FALSE(UpdateServerRequest::VersionGoesBefore("9.9.9", bad)) << bad;
    }
}
