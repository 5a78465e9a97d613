// The console display seen from outside: what reaches a terminal, a file, and stderr.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "Runner.h"

namespace {

RunResult drive(const std::vector<std::string> &words, bool onTerminal) {
    RunOptions options;
    options.stdoutOnPty = onTerminal;
    RunResult r = runProgram(DISPLAY_DRIVER_EXE, words, options);
    EXPECT_EQ(r.exitStatus, 0) << r.stderrText;
    return r;
}

std::string rep(char c, int n) { return std::string(static_cast<size_t>(n), c); }

const std::string kErase = "\r" + rep(' ', 88) + "\r";

struct DrawCase {
    const char *name;
    std::vector<std::string> words;
    std::string drawn;
};

const DrawCase kDrawCases[] = {
    {"HalfWithoutLabel", {"progress:0.5"}, "\r[" + rep('=', 34) + ">" + rep(' ', 34) + "] ( 50% ) "},
    {"HalfWithSixLetterLabel",
     {"progress:0.5:Upload"},
     "\r (Upload) [" + rep('=', 29) + ">" + rep(' ', 29) + "] ( 50% ) "},
    {"Empty", {"progress:0"}, "\r[>" + rep(' ', 68) + "] (  0% ) "},
    // The blank count is -1 at the end, which still prints one blank.
    {"Full", {"progress:1"}, "\r[" + rep('=', 69) + "> ] (100% ) "},
    {"PercentTruncates", {"progress:0.999"}, "\r[" + rep('=', 68) + ">" + rep(' ', 0) + "] ( 99% ) "},
    {"OutOfRangeIsClamped",
     {"progress:1.5", "progress:-2"},
     "\r[" + rep('=', 69) + "> ] (100% ) \r[>" + rep(' ', 68) + "] (  0% ) "},
    {"ShowDrawsNothingHideErases",
     {"show", "progress:0.5", "hide"},
     "\r[" + rep('=', 34) + ">" + rep(' ', 34) + "] ( 50% ) " + kErase},
    {"SpinnerCyclesThroughEightFrames",
     {"spin:Downloading", "spin:Downloading", "spin:Downloading", "spin:Downloading", "spin:Downloading",
      "spin:Downloading", "spin:Downloading", "spin:Downloading", "spin:Downloading"},
     "\r (Downloading) .      \r\r (Downloading) ..      \r\r (Downloading) ...      \r"
     "\r (Downloading) ....      \r\r (Downloading) .....      \r\r (Downloading) ....      \r"
     "\r (Downloading) ...      \r\r (Downloading) ..      \r\r (Downloading) .      \r"},
    {"StoppingKeepsTheFrame",
     {"spin", "spin", "stop", "spin"},
     "\r .      \r\r ..      \r" + kErase + "\r ...      \r"},
    {"FrameIndexSharedByAllDisplays",
     {"spin", "use:1", "spin", "use:0", "spin"},
     "\r .      \r\r ..      \r\r ...      \r"},
    {"MessagesBetweenDrawings", {"progress:0", "info:done"}, "\r[>" + rep(' ', 68) + "] (  0% ) done\n"},
};

void PrintTo(const DrawCase &c, std::ostream *os) { *os << c.name; }

class DisplayOnTerminal : public ::testing::TestWithParam<DrawCase> {};

TEST_P(DisplayOnTerminal, DrawsExactly) {
    RunResult r = drive(GetParam().words, true);
    EXPECT_EQ(r.stdoutText, GetParam().drawn);
    EXPECT_EQ(r.stderrText, "");
}

// Redirected output keeps message lines only.
TEST_P(DisplayOnTerminal, DrawsNothingIntoAFile) {
    RunResult r = drive(GetParam().words, false);
    std::string lines = GetParam().name == std::string("MessagesBetweenDrawings") ? "done\n" : "";
    EXPECT_EQ(r.stdoutText, lines);
}

INSTANTIATE_TEST_SUITE_P(, DisplayOnTerminal, ::testing::ValuesIn(kDrawCases),
                         [](const auto &p) { return std::string(p.param.name); });

TEST(DisplayMessages, LevelsStreamsAndMuting) {
    RunResult r = drive(
        {"info:one", "error:two", "mute", "info:lost", "error:lost", "unmute", "info:three", "error:four"}, false);
    EXPECT_EQ(r.stdoutText, "one\nthree\n");
    EXPECT_EQ(r.stderrText, "two\nfour\n");
}

TEST(DisplayMessages, LongTextCutTo2047Characters) {
    RunResult r = drive({"info:" + rep('x', 3000)}, false);
    EXPECT_EQ(r.stdoutText, rep('x', 2047) + "\n");
}

TEST(DisplayMessages, OverlongLabelDoesNotBreakTheBar) {
    std::string label = rep('L', 80);
    RunResult r = drive({"progress:0.5:" + label}, true);
    EXPECT_EQ(r.stdoutText, "\r (" + label + ") [>] ( 50% ) ");
}

} // namespace
