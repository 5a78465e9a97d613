#include "Updater.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>

#include "BirdBuilder.h"
#include "ClosedPort.h"
#include "KeyValueStore.h"
#include "SimHttpServer.h"
#include "SimServerModel.h"
#include "TempDir.h"

namespace {

// Keeps every line and counts the spinner's turns.
class RecordingDisplay : public UpdaterDisplayInterface {
  public:
    std::vector<std::string> lines; // "I text" or "E text"
    int spins = 0;
    bool spinnerStopped = false;

    void display_progress(bool) override {}
    void update_progress(double, const char *) override {}
    void update_spinner(bool running, const char *label) override {
        EXPECT_STREQ(label, "Downloading");
        if (running)
            ++spins;
        else
            spinnerStopped = true;
    }
    void info_message(const char *text) override { lines.push_back(std::string("I ") + text); }
    void error_message(const char *text) override { lines.push_back(std::string("E ") + text); }
    bool has(const std::string &line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }
};

constexpr uint32_t kSerial = 0x40F5849A;

std::string image(uint64_t build, const std::string &version) {
    BirdBuilder::Bytes payload(300); // varied: a run of one value inflates beyond what the reader accepts
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>((i * 2654435761u + build) >> 13);
    BirdBuilder b;
    b.addInfo(build, version, kSerial, "AX-HUB").addFirmware(0x1000, payload);
    return b.str();
}

// The store in a temp folder and a loopback update server that recommends build 120.
class UpdaterTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string store = dir.file("updater");
    RecordingDisplay display;
    std::unique_ptr<sim::SimServerModel> model;
    std::unique_ptr<sim::SimHttpServer> server;

    void serve(std::vector<sim::SimFault> faults = {}) {
        sim::SimCatalogue c = sim::ParseCatalogue("device 40F5849A recommend 120 firmware FW-A token aa.bb.cc\n"
                                                  "build 40F5849A 100 1.9.2\n"
                                                  "build 40F5849A 120 1.10.0\n"
                                                  "build 40F5849A 12 1.0.12\n");
        c.images["40F5849A/120"] = image(120, "1.10.0");
        c.images["40F5849A/99"] = image(99, "0.9.9");
        c.images["40F5849A/12"] = image(12, "1.0.12");
        server.reset();
        model = std::make_unique<sim::SimServerModel>(std::move(c), std::move(faults));
        server = std::make_unique<sim::SimHttpServer>([this](const std::string &t) { return model->Answer(t); });
    }
    void SetUp() override { serve(); }

    Updater updater() { return Updater(server->url().c_str(), store.c_str(), display); }
    std::string deviceFile(const std::string &name) { return store + "/40F5849A/" + name; }
    std::vector<std::string> ops() {
        std::vector<std::string> out;
        for (const auto &t : model->Records())
            out.push_back(t.substr(t.find("op=") + 3, t.find('&', t.find("op=")) - t.find("op=") - 3));
        return out;
    }
    std::string setting(const char *key) {
        KeyValueStore s;
        s.Load(deviceFile(".settings").c_str());
        return s.GetString(key, "");
    }
};

} // namespace

TEST_F(UpdaterTest, DownloadsTheRecommendedBuildAfterCheckingTheList) {
    EXPECT_EQ(updater().Download_Firmware(kSerial, "", false, false), 120u);
    EXPECT_EQ(display.lines, (std::vector<std::string>{"I Retrieving build 120", "I Validating build 120 with server",
                                                       "I Build 120 is valid"}));
    EXPECT_EQ(ops(), (std::vector<std::string>{"hi", "qu", "builds", "bird"}));
    EXPECT_EQ(model->Records().back(), "/cgi/u?bld=120&fw=FW-A&no_cal=false&op=bird&sn=40F5849A&");
    EXPECT_TRUE(readFile(deviceFile("120.bird")) == image(120, "1.10.0"));
    EXPECT_EQ(setting("LATEST_DOWNLOAD"), "120.bird");
    EXPECT_EQ(setting("LAST_DOWNLOAD_DATE").size(), 24u);
    EXPECT_GE(display.spins, 1);
    EXPECT_TRUE(display.spinnerStopped);
}

TEST_F(UpdaterTest, ChosenBuildsOverrideAndRefusals) {
    const struct {
        const char *build;
        bool override;
        uint32_t result;
        std::vector<std::string> ops;
        const char *line;
    } cases[] = {
        {"99", true, 99, {"hi", "qu", "bird"}, "I Override specified, skipping validation of build 99"},
        {"99", false, 0, {"hi", "qu", "builds"}, "E No valid build 99"},
        {"12x", false, 12, {"hi", "qu", "builds", "bird"}, "I Build 12 is valid"},
        {" 0120", false, 120, {"hi", "qu", "builds", "bird"}, "I Build 120 is valid"},
        {"x12", false, 0, {}, "E Build number 'x12' must be an number"},
        {"-5", false, 0, {}, "E Build number '-5' must be an number"},
        {"99999999999", false, 0, {}, "E Build number '99999999999' must be an number"},
    };
    for (const auto &c : cases) {
        serve();
        display.lines.clear();
        EXPECT_EQ(updater().Download_Firmware(kSerial, c.build, c.override, false), c.result) << c.build;
        EXPECT_EQ(ops(), c.ops) << c.build;
        EXPECT_TRUE(display.has(c.line)) << c.build << ": " << testing::PrintToString(display.lines);
    }
    display.lines.clear();
    EXPECT_EQ(updater().Download_Firmware(0, "", false, false), 0u);
    EXPECT_EQ(display.lines, std::vector<std::string>{"E Serial Number must be non-zero"});
}

// Whatever goes wrong with the image, the store keeps what it had and nothing is recorded.
TEST_F(UpdaterTest, AFailedDownloadLeavesTheStoreAsItWas) {
    HTTPTimeouts saved = HTTPRequest::Timeouts();
    HTTPRequest::SetTimeouts({saved.connect_ms, 1});
    const struct {
        const char *fault;
        bool downloadFailed; // the request itself failed
    } cases[] = {{"truncate:bird", false}, {"badchar:bird", false}, {"notbird:bird", false},
                 {"status500:bird", true}, {"error:bird", true},    {"stall:bird", true}};
    for (const auto &c : cases) {
        TempDir fresh;
        store = fresh.file("updater");
        serve();
        ASSERT_EQ(Updater(server->url().c_str(), store.c_str(), display).Download_Firmware(kSerial, "120", true, false),
                  120u);
        writeFile(deviceFile("120.bird"), "EARLIER");
        const std::string settings = readFile(deviceFile(".settings"));
        serve({sim::ParseFault(c.fault)});
        display.lines.clear();
        display.spins = 0;
        EXPECT_EQ(updater().Download_Firmware(kSerial, "120", true, false), 0u) << c.fault;
        EXPECT_EQ(display.lines.back(), "E Failed to retrieve a valid BIRD file") << c.fault;
        EXPECT_EQ(display.has("E Download failed"), c.downloadFailed) << c.fault;
        EXPECT_EQ(readFile(deviceFile("120.bird")), "EARLIER") << c.fault;
        EXPECT_EQ(readFile(deviceFile(".settings")), settings) << c.fault;
        if (std::string(c.fault) == "stall:bird") {
            EXPECT_GE(display.spins, 5) << "the spinner keeps turning while the request stalls";
        }
    }
    HTTPRequest::SetTimeouts(saved);
}

TEST_F(UpdaterTest, AnImageThatCannotBeWrittenIsNotRecorded) {
    std::filesystem::create_directories(deviceFile("120.bird/keep")); // nothing can replace a directory
    EXPECT_EQ(updater().Download_Firmware(kSerial, "", false, false), 0u);
    ASSERT_FALSE(display.lines.empty());
    EXPECT_EQ(display.lines.back().rfind("E Failed to write file with ", 0), 0u) << display.lines.back();
    EXPECT_TRUE(std::filesystem::is_directory(deviceFile("120.bird/keep")));
    EXPECT_EQ(setting("LATEST_DOWNLOAD"), "");
}

TEST_F(UpdaterTest, ServerFailuresBecomeMessagesAndEmptyResults) {
    ClosedPort closed;
    const std::string url = closed.url();
    Updater down(url.c_str(), store.c_str(), display);
    EXPECT_TRUE(down.Get_BuildList(kSerial).empty());
    EXPECT_EQ(down.Get_JWT(kSerial), "");
    EXPECT_EQ(down.Download_Firmware(kSerial, "", false, false), 0u);
    const std::string failed = "E Server request failed for " + url;
    EXPECT_EQ(display.lines, (std::vector<std::string>{failed, failed, failed}));
    EXPECT_FALSE(std::filesystem::exists(store)) << "a download refused before the store is made leaves no trace";

    serve({sim::ParseFault("error:builds"), sim::ParseFault("error:ent_jwt"), sim::ParseFault("error:qu")});
    display.lines.clear();
    EXPECT_TRUE(updater().Get_BuildList(kSerial).empty());
    EXPECT_EQ(updater().Get_JWT(kSerial), "");
    EXPECT_EQ(updater().Download_Firmware(kSerial, "", false, false), 0u);
    EXPECT_EQ(display.lines,
              (std::vector<std::string>{"E Failed to retrieve builds for 40F5849A",
                                        "E Failed to retrieve jwt for 40F5849A", "E No build information for device"}));
}

TEST_F(UpdaterTest, BuildListAndToken) {
    EXPECT_EQ(updater().Get_BuildList(kSerial), (BuildList{{"100", "1.9.2"}, {"12", "1.0.12"}, {"120", "1.10.0"}}));
    EXPECT_EQ(updater().Get_JWT(kSerial), "aa.bb.cc");
    EXPECT_TRUE(display.lines.empty());
}

TEST_F(UpdaterTest, LocalBuildsListEveryFileWithTheImagesVersions) {
    std::filesystem::create_directories(deviceFile(""));
    writeFile(deviceFile("100.bird"), image(100, "1.9.2"));
    writeFile(deviceFile("200.bird"), image(200, "2.0.0"));
    writeFile(deviceFile("notes.txt"), "hello");
    writeFile(deviceFile("300.bird"), "bird\x01\x01 but nothing loads");
    EXPECT_EQ(updater().Get_BuildListLocal(kSerial),
              (BuildList{{"100", "1.9.2"}, {"200", "2.0.0"}, {"300", ""}, {"notes.txt", ""}}));
    EXPECT_TRUE(updater().Get_BuildListLocal(0x11111111).empty());
}

TEST_F(UpdaterTest, LoadBirdDownloadsOnlyWhenAllowed) {
    try {
        updater().load_bird("Updating", "", kSerial, 120, false);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "Error reading birdfile");
    }
    EXPECT_TRUE(model->Records().empty());
    BirdFile loaded = updater().load_bird("Recovering", "", kSerial, 120, true);
    EXPECT_EQ(loaded.GetBuild(), 120u);
    EXPECT_TRUE(display.has("I Recovering firmware with build: 120"));
    EXPECT_TRUE(display.has("I Downloading firmware build 120"));

    writeFile(dir.file("mine.bird"), image(7, "0.0.7"));
    EXPECT_EQ(updater().load_bird("Updating", dir.file("mine.bird"), kSerial, 0, false).GetBuild(), 7u);
    EXPECT_TRUE(display.has("I Updating from Birdfile: " + dir.file("mine.bird")));
    EXPECT_THROW(updater().load_bird("Updating", dir.file("missing.bird"), kSerial, 0, false), std::runtime_error);
}

TEST(BuildReport, NewestFirstInFifteenCharacterColumns) {
    RecordingDisplay display;
    cli::_display_builds(
        display, {{"100", "1.9.2"}, {"120", "1.10.0"}, {"90", "2.0.0"}, {"1234567890123456789", "1.0.0"}}, 0x40F5849A);
    EXPECT_EQ(display.lines, (std::vector<std::string>{
                                 "I Build List for device [40F5849A]:\n",
                                 "I Build          \tVersion        ",
                                 "I 90             \t2.0.0          ",
                                 "I 120            \t1.10.0         ",
                                 "I 100            \t1.9.2          ",
                                 "I 123456789012345\t1.0.0          ",
                             }));
    display.lines.clear();
    cli::_display_builds(display, {}, 0x1234);
    cli::_display_jwt(display, "");
    EXPECT_EQ(display.lines, (std::vector<std::string>{"I No builds found for device [00001234]", "I "}));
}
