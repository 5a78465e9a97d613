// The updater run as a user would run it: words in, text and exit status out.
// Only commands that stay off the network run here outside a namespace.
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <vector>

#include "Runner.h"
#include "TempDir.h"

namespace {

const char *const kLoopbackUrl = "http://127.0.0.1:1/cgi/u";

std::string golden(const std::string &name) { return readFile(std::string(TEST_DATA_DIR) + "/usage/" + name + ".txt"); }

std::string usage(bool extended, bool full) {
    std::string text = golden("short");
    if (full)
        text += golden("parameters") + (extended ? golden("extended") : "") + golden("sample");
    return text;
}

// The version line carries the build date as the compiler writes it ("Feb 11 2026",
// "Feb  1 2026"); the copyright year is that date's year.
void expectVersionAndCopyright(const std::string &out, bool withCopyright) {
    std::smatch m;
    static const std::regex version(
        "Updater \\(Version: 2\\.12\\.1 (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123][0-9] ([0-9]{4})\\)\n");
    ASSERT_TRUE(std::regex_search(out, m, version, std::regex_constants::match_continuous)) << out;
    std::string rest = m.suffix();
    if (withCopyright)
        EXPECT_EQ(rest, "Copyright (c) " + m[2].str() + " Tervane Inc. All rights reserved.\n");
    else
        EXPECT_EQ(rest, "");
}

class Cli : public ::testing::Test {
  protected:
    // The loopback server and the temporary store come first, so that the words under
    // test parse exactly as they would alone.
    RunResult run(std::vector<std::string> words, RunOptions options = {}) {
        std::vector<std::string> all{"-u", kLoopbackUrl, "-i", tmp.path()};
        all.insert(all.end(), words.begin(), words.end());
        RunResult r = runUpdater(all, options);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.termSignal, 0) << r.stderrText;
        return r;
    }
    std::string storeDir() const { return tmp.path() + "/updater"; }
    TempDir tmp;
};

TEST_F(Cli, NoCommandShowsVersionCopyrightAndShortUsage) {
    RunResult r = run({});
    EXPECT_EQ(r.exitStatus, 0);
    expectVersionAndCopyright(r.stdoutText, true);
    EXPECT_EQ(r.stderrText, usage(false, false));
    EXPECT_FALSE(std::filesystem::exists(storeDir()));
}

struct HelpCase {
    const char *name;
    std::vector<std::string> words;
    bool extended;
    bool full;
};

const HelpCase kHelpCases[] = {
    {"LowerH", {"-h"}, false, true},
    {"UpperH", {"-H"}, false, true},
    {"LongHelp", {"--help"}, false, true},
    {"LongHelpAbbreviated", {"--he"}, false, true},
    {"DebugMaskBeforeHelpAddsExtendedBlock", {"-X", "1", "-h"}, true, true},
    {"HelpStopsBeforeDebugMask", {"-h", "-X", "1"}, false, true},
    {"HelpWinsOverCommands", {"-B", "-d", "1", "-h"}, false, true},
    {"CombinedLettersAreNoCommand", {"-DU"}, false, false},
    {"DebugMaskAloneIsNoCommand", {"-X", "0"}, false, false},
    {"OverrideIsNoCommand", {"-OVER"}, false, false},
};

void PrintTo(const HelpCase &c, std::ostream *os) { *os << c.name; }

class CliHelp : public Cli, public ::testing::WithParamInterface<HelpCase> {};

TEST_P(CliHelp, PrintsUsageAndSucceeds) {
    RunResult r = run(GetParam().words);
    EXPECT_EQ(r.exitStatus, 0);
    expectVersionAndCopyright(r.stdoutText, true);
    EXPECT_EQ(r.stderrText, usage(GetParam().extended, GetParam().full));
}

INSTANTIATE_TEST_SUITE_P(, CliHelp, ::testing::ValuesIn(kHelpCases),
                         [](const auto &p) { return std::string(p.param.name); });

TEST_F(Cli, UsageGoesToStandardErrorEvenOnATerminal) {
    RunOptions onPty;
    onPty.stdoutOnPty = true;
    RunResult r = run({"-h"}, onPty);
    EXPECT_EQ(r.exitStatus, 0);
    expectVersionAndCopyright(r.stdoutText, true);
    EXPECT_EQ(r.stderrText, usage(false, true));
}

struct RejectCase {
    const char *name;
    std::vector<std::string> words;
    const char *message;
};

const RejectCase kRejectCases[] = {
    {"SerialZero", {"-d", "0", "-B"}, "Invalid serial number obtained from argument [0]\n"},
    {"SerialNotHex", {"-d", "12G4", "-B"}, "Invalid serial number obtained from argument [12G4]\n"},
    {"RouterSerialNotHex", {"-r", "xyz", "-C"}, "Invalid router serial number obtained from argument [xyz]\n"},
    {"UnhandledCommand", {"-Y"}, "Unhandled command: [-Y]\n"},
    {"LowerCaseTransport",
     {"-t", "usb", "-C"},
     "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER\n"},
};

void PrintTo(const RejectCase &c, std::ostream *os) { *os << c.name; }

class CliReject : public Cli, public ::testing::WithParamInterface<RejectCase> {};

TEST_P(CliReject, ShortUsageAndStatusOne) {
    RunResult r = run(GetParam().words);
    EXPECT_EQ(r.exitStatus, 1);
    expectVersionAndCopyright(r.stdoutText, true);
    EXPECT_EQ(r.stderrText, GetParam().message + usage(false, false));
    EXPECT_FALSE(std::filesystem::exists(storeDir())) << "nothing runs after a rejected option";
}

INSTANTIATE_TEST_SUITE_P(, CliReject, ::testing::ValuesIn(kRejectCases),
                         [](const auto &p) { return std::string(p.param.name); });

struct MissingCase {
    const char *name;
    std::vector<std::string> words;
    std::string errorText;
};

const MissingCase kMissingCases[] = {
    {"ListBuilds", {"-B"}, "Error must supply a serial number for the List Builds command\n" + usage(false, false)},
    {"ListLocalBuilds",
     {"-L"},
     "Error must supply a serial number for the List Local Builds command\n" + usage(false, false)},
    {"GetJwt", {"-J"}, "Error must supply a serial number for the Get JWT command\n" + usage(false, false)},
    {"DroppedSerialBeforeListBuilds",
     {"-d", "-B"},
     "Error must supply a serial number for the List Builds command\n" + usage(false, false)},
    {"GetBuild", {"-G"}, "-G must specify a specific device via -d\n--help for usage information\n"},
    {"GetBuildBeforeListBuilds",
     {"-G", "-B"},
     "-G must specify a specific device via -d\n--help for usage information\n"},
};

void PrintTo(const MissingCase &c, std::ostream *os) { *os << c.name; }

class CliMissingDevice : public Cli, public ::testing::WithParamInterface<MissingCase> {};

TEST_P(CliMissingDevice, StatusOneAfterTheStoreIsReady) {
    RunResult r = run(GetParam().words);
    EXPECT_EQ(r.exitStatus, 1);
    expectVersionAndCopyright(r.stdoutText, false);
    EXPECT_EQ(r.stderrText, GetParam().errorText);
    EXPECT_TRUE(std::filesystem::is_directory(storeDir()));
}

INSTANTIATE_TEST_SUITE_P(, CliMissingDevice, ::testing::ValuesIn(kMissingCases),
                         [](const auto &p) { return std::string(p.param.name); });

// -N and -U reach devices once they have what they need; these runs get a network
// namespace of their own even though they stop before that.
TEST_F(Cli, FingerprintAndUpdateNeedTheirParameters) {
    if (!networkIsolationAvailable())
        GTEST_SKIP() << "cannot create a network namespace here";
    RunOptions isolated;
    isolated.isolateNetwork = true;
    RunResult fingerprint = run({"-N"}, isolated);
    EXPECT_EQ(fingerprint.exitStatus, 1);
    EXPECT_EQ(fingerprint.stderrText, "Must specify the serial port used for connecting\n");
    RunResult update = run({"-U", "-t", "TCPIP"}, isolated);
    EXPECT_EQ(update.exitStatus, 1);
    EXPECT_EQ(update.stderrText, "Must specify the specific device to be updated\n");
    // The fingerprint check comes first and ends the run before -G is looked at.
    RunResult both = run({"-G", "-N"}, isolated);
    EXPECT_EQ(both.exitStatus, 1);
    EXPECT_EQ(both.stderrText, "Must specify the serial port used for connecting\n");
}

// Device operations this version lacks fail plainly instead of exiting 0 having done nothing.
TEST_F(Cli, DeviceCommandsNotInThisVersionFail) {
    if (!networkIsolationAvailable())
        GTEST_SKIP() << "cannot create a network namespace here";
    RunOptions isolated;
    isolated.isolateNetwork = true;
    struct Case {
        std::vector<std::string> words;
        const char *error;
    };
    const Case cases[] = {
        {{"-D"}, "Device discovery (-D) is not available in this version of Updater\n"},
        {{"-U", "-d", "40F5849A"}, "Firmware update (-U) is not available in this version of Updater\n"},
        {{"-U", "-t", "RECOVER", "-s", "/dev/null"},
         "Recovery (-U -t RECOVER) is not available in this version of Updater\n"},
        {{"-N", "-s", "/dev/null"}, "Reading a chip's fingerprint (-N) is not available in this version of Updater\n"},
    };
    for (const Case &c : cases) {
        RunResult r = run(c.words, isolated);
        EXPECT_EQ(r.exitStatus, 1) << c.words[0];
        EXPECT_EQ(r.stderrText, c.error);
    }
}

TEST_F(Cli, GetBuildAnnouncesWhatItFetches) {
    RunResult latest = run({"-G", "-d", "0x40f5849a"});
    EXPECT_NE(latest.stdoutText.find("Retrieving firmware for device with serial number 40F5849A\n"
                                     "No build specified\nUsing Latest build\n"),
              std::string::npos)
        << latest.stdoutText;
    RunResult chosen = run({"-G", "-d", "1", "-b", "0099"});
    EXPECT_NE(chosen.stdoutText.find("Retrieving firmware for device with serial number 00000001\n"
                                     "Retrieving firmware build 99\n"),
              std::string::npos)
        << chosen.stdoutText;
    RunResult notDigits = run({"-b", "12x", "-G", "-d", "1"});
    EXPECT_NE(notDigits.stdoutText.find("Retrieving firmware build 0\n"), std::string::npos) << notDigits.stdoutText;
}

TEST_F(Cli, CommandsWithoutActionCreateTheStoreAndSucceed) {
    const std::vector<std::vector<std::string>> lines = {{"-C"}, {"-I"}, {"-Z", "x"}};
    for (const auto &words : lines) {
        std::filesystem::remove_all(storeDir());
        RunResult r = run(words);
        EXPECT_EQ(r.exitStatus, 0) << words[0];
        expectVersionAndCopyright(r.stdoutText, false);
        EXPECT_EQ(r.stderrText, "") << words[0];
        EXPECT_TRUE(std::filesystem::is_directory(storeDir())) << words[0];
    }
}

TEST_F(Cli, StoreParentsAreCreated) {
    TempDir other;
    std::string parent = other.path() + "/a/b";
    RunResult r = runUpdater({"-u", kLoopbackUrl, "-i", parent, "-C"});
    EXPECT_EQ(r.exitStatus, 0) << r.stderrText;
    EXPECT_TRUE(std::filesystem::is_directory(parent + "/updater"));
}

TEST_F(Cli, StoreUnderAPlainFileFails) {
    std::string file = tmp.file("plain");
    writeFile(file, "not a directory");
    RunResult r = runUpdater({"-u", kLoopbackUrl, "-i", file, "-L", "-d", "1"});
    EXPECT_EQ(r.exitStatus, 1);
    expectVersionAndCopyright(r.stdoutText, false);
    EXPECT_EQ(r.stderrText, "Could not find updater directory at " + file + "/updater\n");
}

TEST_F(Cli, DebugLogOnlyForActivatedPackages) {
    RunResult quiet = run({"-C", "stray"});
    EXPECT_EQ(quiet.stderrText, "");

    RunResult logged = run({"-X", "0x10000", "stray", "-C"});
    EXPECT_EQ(logged.exitStatus, 0);
    std::string expected = "\nApplication parameters:[updater]\n\t[" UPDATER_EXE "]\n\t[-u]\n\t[" +
                           std::string(kLoopbackUrl) + "]\n\t[-i]\n\t[" + tmp.path() +
                           "]\n\t[-X]\n\t[0x10000]\n\t[-C]\n\t[stray]\n";
    EXPECT_EQ(logged.stderrText, expected);

    // A mask with left-over characters is reported but switches nothing on.
    RunResult bad = run({"-X", "0x10000q", "-C"});
    EXPECT_EQ(bad.exitStatus, 0);
    EXPECT_EQ(bad.stderrText, "Invalid format for \"-X\" parameter, unprocessed characters [q]\n");
}

TEST_F(Cli, SerialPrefixIsLoggedUnderTheUpdaterPackage) {
    RunResult r = run({"-X", "1", "-d", "0x1", "-r", "0XD272031D", "-C"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.stderrText, "Discarding '0x' serial number prefix\nDiscarding '0x' router serial number prefix\n");
    // Logged only once the package is on: -X after the prefixes comes too late.
    RunResult late = run({"-d", "0x1", "-X", "1", "-C"});
    EXPECT_EQ(late.stderrText, "");
}

} // namespace
