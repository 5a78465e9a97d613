// The build catalogue commands (-B, -G, -L, -J) of the real binary against the local
// update server on a loopback port.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "BirdBuilder.h"
#include "ClosedPort.h"
#include "Runner.h"
#include "SimProcess.h"
#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

std::string image(uint64_t build, const std::string &version) {
    // Varied bytes: a run of one value compresses beyond what the reader accepts.
    BirdBuilder::Bytes payload(512);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>((i * 2654435761u + build) >> 13);
    BirdBuilder b;
    b.addInfo(build, version, 0x40F5849A, "AX-HUB").addFirmware(0x1000, payload);
    return b.str();
}

// Every file below dir with its contents, for "nothing changed" checks.
std::map<std::string, std::string> snapshot(const std::string &dir) {
    std::map<std::string, std::string> files;
    if (!fs::exists(dir))
        return files;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        files[e.path().string()] = e.is_regular_file() ? readFile(e.path().string()) : "<dir>";
    return files;
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(text.substr(start, nl - start));
    if (start < text.size())
        out.push_back(text.substr(start));
    return out;
}

// A catalogue folder: device 40F5849A recommends 120 and lists three builds.
class Catalogue : public ::testing::Test {
  protected:
    TempDir tmp;
    std::string catalogue = tmp.file("catalogue");
    std::string record = tmp.file("record.txt");
    std::string home = tmp.file("home");
    std::string device = home + "/updater/40F5849A";

    void SetUp() override {
        fs::create_directories(catalogue + "/40F5849A");
        fs::create_directories(home);
        writeFile(catalogue + "/catalogue.txt", "device 40F5849A recommend 120 firmware FW-40F5 token aa.bb.cc\n"
                                                "build 40F5849A 100 1.9.2\n"
                                                "build 40F5849A 120 1.10.0\n"
                                                "build 40F5849A 90 2.0.0\n");
        for (auto [build, version] : {std::pair{120, "1.10.0"}, {100, "1.9.2"}, {90, "2.0.0"}, {99, "0.9.9"}})
            writeFile(catalogue + "/40F5849A/" + std::to_string(build) + ".bird", image(build, version));
    }

    std::unique_ptr<SimProcess> start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"--catalogue", catalogue, "--record", record};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<SimProcess>(SIM_SERVER_EXE, args);
    }

    RunResult run(const std::string &url, std::vector<std::string> words, RunOptions options = {}) {
        std::vector<std::string> all{"-u", url, "-i", home};
        all.insert(all.end(), words.begin(), words.end());
        RunResult r = runUpdater(all, options);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.termSignal, 0) << r.stderrText;
        return r;
    }

    // The report lines after the version line.
    static std::vector<std::string> report(const RunResult &r) {
        std::vector<std::string> l = lines(r.stdoutText);
        if (!l.empty())
            l.erase(l.begin());
        return l;
    }

    std::vector<std::string> recorded() {
        return fs::exists(record) ? lines(readFile(record)) : std::vector<std::string>{};
    }
};

} // namespace

TEST_F(Catalogue, ListBuildsNewestVersionFirst) {
    auto server = start();
    RunResult r = run(server->endpoint(), {"-B", "-d", "40F5849A"});
    EXPECT_EQ(r.exitStatus, 0) << r.stderrText;
    EXPECT_EQ(report(r),
              (std::vector<std::string>{"Build List for device [40F5849A]:", "", "Build          \tVersion        ",
                                        "90             \t2.0.0          ", "120            \t1.10.0         ",
                                        "100            \t1.9.2          "}));
    EXPECT_EQ(r.stderrText, "");

    RunResult none = run(server->endpoint(), {"-B", "-d", "11111111"});
    EXPECT_EQ(none.exitStatus, 0);
    EXPECT_EQ(report(none), std::vector<std::string>{"No builds found for device [11111111]"});
    EXPECT_EQ(recorded(), (std::vector<std::string>{"/cgi/u?op=hi&rv=2&", "/cgi/u?op=builds&sn=40F5849A&",
                                                    "/cgi/u?op=hi&rv=2&", "/cgi/u?op=builds&sn=11111111&"}));
}

TEST_F(Catalogue, ListLocalBuildsAndToken) {
    fs::create_directories(device);
    writeFile(device + "/100.bird", image(100, "1.9.2"));
    writeFile(device + "/200.bird", image(200, "2.0.0"));
    writeFile(device + "/notes.txt", "not an image");
    auto server = start();
    RunResult local = run(server->endpoint(), {"-L", "-d", "40F5849A"});
    EXPECT_EQ(local.exitStatus, 0) << local.stderrText;
    EXPECT_EQ(report(local),
              (std::vector<std::string>{"Build List for device [40F5849A]:", "", "Build          \tVersion        ",
                                        "200            \t2.0.0          ", "100            \t1.9.2          ",
                                        "notes.txt      \t               "}));
    EXPECT_TRUE(recorded().empty()) << "the local list asks no server";

    RunResult token = run(server->endpoint(), {"-J", "-d", "40F5849A"});
    EXPECT_EQ(token.exitStatus, 0) << token.stderrText;
    EXPECT_EQ(report(token), std::vector<std::string>{"aa.bb.cc"});
    EXPECT_EQ(recorded().back(), "/cgi/u?json=false&op=ent_jwt&sn=40F5849A&");
}

TEST_F(Catalogue, CommandsWithoutADeviceEndWithTheShortUsage) {
    const std::pair<const char *, const char *> cases[] = {
        {"-B", "Error must supply a serial number for the List Builds command\n"},
        {"-L", "Error must supply a serial number for the List Local Builds command\n"},
        {"-J", "Error must supply a serial number for the Get JWT command\n"},
    };
    for (const auto &[command, message] : cases) {
        RunResult r = run("http://127.0.0.1:1/cgi/u", {command});
        EXPECT_EQ(r.exitStatus, 1) << command;
        EXPECT_EQ(r.stderrText.rfind(message, 0), 0u) << command << ": " << r.stderrText;
        EXPECT_NE(r.stderrText.find("-d"), std::string::npos) << "the short usage follows";
    }
}

TEST_F(Catalogue, GetDownloadsTheRecommendedBuildIntoTheStore) {
    auto server = start();
    RunResult r = run(server->endpoint(), {"-G", "-d", "40F5849A"});
    ASSERT_EQ(r.exitStatus, 0) << r.stderrText;
    EXPECT_EQ(report(r), (std::vector<std::string>{"Retrieving firmware for device with serial number 40F5849A",
                                                   "No build specified", "Using Latest build", "Retrieving build 120",
                                                   "Validating build 120 with server", "Build 120 is valid"}));
    EXPECT_EQ(r.stderrText, "");
    EXPECT_TRUE(readFile(device + "/120.bird") == image(120, "1.10.0"));
    std::string settings = readFile(device + "/.settings");
    EXPECT_NE(settings.find("LATEST_DOWNLOAD=120.bird"), std::string::npos) << settings;
    EXPECT_NE(settings.find("LAST_DOWNLOAD_DATE="), std::string::npos) << settings;
    EXPECT_EQ(recorded(), (std::vector<std::string>{"/cgi/u?op=hi&rv=2&", "/cgi/u?op=qu&sn=40F5849A&",
                                                    "/cgi/u?op=builds&sn=40F5849A&",
                                                    "/cgi/u?bld=120&fw=FW-40F5&no_cal=false&op=bird&sn=40F5849A&"}));
}

TEST_F(Catalogue, GetAChosenBuildWithAndWithoutOverride) {
    auto server = start();
    RunResult refused = run(server->endpoint(), {"-G", "-b", "99", "-d", "40F5849A"});
    EXPECT_EQ(refused.exitStatus, 1);
    EXPECT_EQ(refused.stderrText, "No valid build 99\n");
    EXPECT_FALSE(fs::exists(device + "/99.bird"));

    RunResult forced = run(server->endpoint(), {"-G", "-b", "99", "-OVERRIDE", "-d", "40F5849A"});
    EXPECT_EQ(forced.exitStatus, 0) << forced.stderrText;
    EXPECT_EQ(report(forced), (std::vector<std::string>{"Retrieving firmware for device with serial number 40F5849A",
                                                        "Retrieving firmware build 99", "Retrieving build 99",
                                                        "Override specified, skipping validation of build 99"}));
    EXPECT_TRUE(readFile(device + "/99.bird") == image(99, "0.9.9"));
    std::vector<std::string> rec = recorded();
    EXPECT_EQ(std::count(rec.begin(), rec.end(), "/cgi/u?op=builds&sn=40F5849A&"), 1) << "only the refused run asked";
}

// Whatever fails, -G ends with 1 and the store holds what it held before.
TEST_F(Catalogue, AFailedGetLeavesTheStoreUnchanged) {
    {
        auto server = start();
        ASSERT_EQ(run(server->endpoint(), {"-G", "-d", "40F5849A"}).exitStatus, 0);
    }
    writeFile(device + "/120.bird", "EARLIER");
    ClosedPort down;
    const std::string downUrl = down.url();
    const struct {
        std::vector<std::string> faults;
        std::string stderrText;
    } cases[] = {
        {{"--fault", "status500"}, "Server request failed for URL\n"},
        {{"--fault", "error"}, "Server request failed for URL\n"},
        {{"--fault", "error:qu"}, "No build information for device\n"},
        {{"--fault", "status500:builds"}, "No valid build 120\n"},
        {{"--fault", "status500:bird"}, "Download failed\nFailed to retrieve a valid BIRD file\n"},
        {{"--fault", "truncate:bird"}, "Failed to retrieve a valid BIRD file\n"},
        {{"--fault", "badchar:bird"}, "Failed to retrieve a valid BIRD file\n"},
        {{"--fault", "notbird:bird"}, "Failed to retrieve a valid BIRD file\n"},
        {{}, "Server request failed for URL\n"}, // the server is down
    };
    const auto before = snapshot(home);
    for (const auto &c : cases) {
        std::unique_ptr<SimProcess> server;
        std::string url = downUrl;
        if (!c.faults.empty()) {
            server = start(c.faults);
            url = server->endpoint();
        }
        RunResult r = run(url, {"-G", "-d", "40F5849A"});
        std::string expected = c.stderrText;
        if (size_t at = expected.find("URL"); at != std::string::npos)
            expected.replace(at, 3, url);
        EXPECT_EQ(r.exitStatus, 1) << expected;
        EXPECT_EQ(r.stderrText, expected);
        EXPECT_EQ(snapshot(home), before) << expected;
    }
}

TEST_F(Catalogue, TheSpinnerTurnsOnATerminalOnly) {
    auto server = start();
    RunOptions pty;
    pty.stdoutOnPty = true;
    RunResult onTerminal = run(server->endpoint(), {"-G", "-d", "40F5849A"}, pty);
    EXPECT_EQ(onTerminal.exitStatus, 0) << onTerminal.stderrText;
    EXPECT_NE(onTerminal.stdoutText.find(" (Downloading) ."), std::string::npos) << onTerminal.stdoutText;

    RunResult redirected = run(server->endpoint(), {"-G", "-d", "40F5849A"});
    EXPECT_EQ(redirected.exitStatus, 0);
    EXPECT_EQ(redirected.stdoutText.find("Downloading"), std::string::npos);
    EXPECT_EQ(redirected.stdoutText.find('\r'), std::string::npos);
}
