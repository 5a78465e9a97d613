#include "SimServerModel.h"

#include <gtest/gtest.h>

#include <stdexcept>

using sim::SimReply;

namespace {

sim::SimCatalogue sample() {
    sim::SimCatalogue c = sim::ParseCatalogue("# a sample\n"
                                              "device 40F5849A recommend 120 firmware FW-1 token aa.bb.cc\n"
                                              "build 40F5849A 100 1.9.2\n"
                                              "build 40F5849A 120 1.10.0\n"
                                              "recovery 0000000A 0000000B 0000000C 0000000D 40F5849A 120\n");
    c.images["40F5849A/120"] = "IMAGE";
    return c;
}

} // namespace

// The answers the updater's parser depends on, line by line.
TEST(SimServerModel, AnswersTheSixRequests) {
    sim::SimServerModel model(sample());
    const std::pair<const char *, SimReply> cases[] = {
        {"/cgi/u?op=hi&rv=2&", {200, "ok\n"}},
        {"/cgi/u?op=qu&sn=40F5849A&", {200, "ok\n120\nFW-1\n"}},
        {"/cgi/u?op=builds&sn=40F5849A&", {200, "ok\n100;1.9.2\n120;1.10.0\n"}},
        {"/other?op=builds&sn=11111111&", {200, "ok\n"}},
        {"/cgi/u?bld=120&fw=FW-1&no_cal=false&op=bird&sn=40F5849A&", {200, "ok\nSU1BR0U=\n"}},
        {"/cgi/u?bld=99&fw=FW-1&no_cal=false&op=bird&sn=40F5849A&", {200, "error\nno such build\n"}},
        {"/cgi/u?bld=120&fw=OTHER&no_cal=false&op=bird&sn=40F5849A&", {200, "error\nunknown firmware\n"}},
        {"/cgi/u?brief=true&fp=0000000A%200000000B%200000000C%200000000D&op=fix&", {200, "ok\n40F5849A\n120\n"}},
        {"/cgi/u?json=false&op=ent_jwt&sn=40F5849A&", {200, "ok\naa.bb.cc\n"}},
        {"/cgi/u?op=qu&sn=40f5849a&", {400, "error\nbad request\n"}},
        {"/cgi/u?op=qu&sn=40F5849A&extra=1&", {400, "error\nbad request\n"}},
        {"/cgi/u?op=nope&", {400, "error\nunknown op\n"}},
    };
    for (const auto &[target, expected] : cases) {
        SimReply reply = model.Answer(target);
        EXPECT_EQ(reply.status, expected.status) << target;
        EXPECT_EQ(reply.body, expected.body) << target;
    }
    EXPECT_EQ(model.Records().size(), std::size(cases));
    EXPECT_EQ(model.Records().front(), "/cgi/u?op=hi&rv=2&");
}

TEST(SimServerModel, FaultsApplyToTheirOperationOnly) {
    const char *bird = "/cgi/u?bld=120&fw=FW-1&no_cal=false&op=bird&sn=40F5849A&";
    sim::SimServerModel status(sample(), {sim::ParseFault("status500:bird")});
    EXPECT_EQ(status.Answer(bird).status, 500);
    EXPECT_EQ(status.Answer("/cgi/u?op=hi&rv=2&").status, 200);

    sim::SimServerModel refusing(sample(), {sim::ParseFault("error")});
    EXPECT_EQ(refusing.Answer("/cgi/u?op=hi&rv=2&").body.substr(0, 5), "error");

    EXPECT_EQ(sim::SimServerModel(sample(), {sim::ParseFault("truncate:bird")}).Answer(bird).body, "ok\nSU1BR\n");
    EXPECT_EQ(sim::SimServerModel(sample(), {sim::ParseFault("badchar:bird")}).Answer(bird).body, "ok\nSU1*R0U=\n");
    SimReply stall = sim::SimServerModel(sample(), {sim::ParseFault("stall")}).Answer(bird);
    EXPECT_TRUE(stall.stall);
    EXPECT_LT(stall.stallAfter, stall.body.size());
    EXPECT_NE(sim::SimServerModel(sample(), {sim::ParseFault("notbird:bird")}).Answer(bird).body, "ok\nSU1BR0U=\n");
    EXPECT_THROW(sim::ParseFault("sometimes"), std::runtime_error);
}

TEST(SimServerModel, RejectsAMalformedCatalogueLine) {
    EXPECT_THROW(sim::ParseCatalogue("device 40F5849A\n"), std::runtime_error);
    EXPECT_THROW(sim::ParseCatalogue("build 40f5849a 1 1.0.0\n"), std::runtime_error);
    EXPECT_THROW(sim::ParseCatalogue("flavour x\n"), std::runtime_error);
}
