#include "KeyValueStore.h"
#include "Log.h"

#include "TempDir.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Entries = std::map<std::string, std::string>;

const std::regex kTimeText("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}");

TEST(KeyValueStore, ParsesLinesAsDocumented) {
    struct Case {
        const char *name;
        std::string text;
        Entries want;
    };
    const std::string longValue(2044, 'v');
    const Case cases[] = {
        {"blanksAroundKeyAndValue", "  KEY =  some value  \r\n", {{"KEY", "some value"}}},
        {"tabsAroundKeyAndValue", "\tK\t=\tv\t\n", {{"K", "v"}}},
        {"equalsInValue", "A=b=c\n", {{"A", "b=c"}}},
        {"comment", "#X=1\n", {}},
        {"indentedHashIsAKey", " #X=1\n", {{"#X", "1"}}},
        {"lastOneWins", "X=1\nX=2\n", {{"X", "2"}}},
        {"shortestEntry", "a=\n", {{"a", ""}}},
        {"tooShort", "a\n=\n", {}},
        {"noEquals", "abc\nK=v\n", {{"K", "v"}}},
        {"emptyKey", "  =v\n", {}},
        {"lastLineWithoutLineFeed", "A=1\nB=2", {{"A", "1"}, {"B", "2"}}},
        {"longestLineThatFits", "L=" + longValue + "\nB=2\n", {{"L", longValue}, {"B", "2"}}},
        {"lineTooLongStopsLoading", "A=1\nL=" + longValue + "x\nB=2\n", {{"A", "1"}}},
    };
    for (const Case &c : cases) {
        TempDir tmp;
        std::string path = tmp.file("settings");
        writeFile(path, c.text);
        KeyValueStore kv(path.c_str());
        EXPECT_EQ(kv.Entries(), c.want) << c.name;
        EXPECT_FALSE(kv.IsChanged()) << c.name;
        EXPECT_EQ(kv.FileName(), path);
        EXPECT_EQ(readFile(path), c.text) << c.name << ": loading must not rewrite the file";
    }
}

TEST(KeyValueStore, SavesSortedLinesAndLeavesUnchangedTimesAlone) {
    TempDir tmp;
    std::string path = tmp.file("settings");
    writeFile(path, "B=2\nA=b=c\nUPDATED_TIME=long ago\n");
    KeyValueStore kv(path.c_str());
    kv.Add("B", "2"); // same text: not a change
    EXPECT_FALSE(kv.IsChanged());
    kv.Save();
    EXPECT_EQ(readFile(path), "A=b=c\nB=2\nUPDATED_TIME=long ago\n");

    kv.Add("B", 3);
    EXPECT_TRUE(kv.IsChanged());
    kv.Save();
    EXPECT_FALSE(kv.IsChanged());
    KeyValueStore reread(path.c_str());
    EXPECT_STREQ(reread["B"], "3");
    EXPECT_TRUE(std::regex_match(reread.GetString("UPDATED_TIME"), kTimeText)) << reread.GetString("UPDATED_TIME");
}

TEST(KeyValueStore, LoadingAMissingFileCreatesItWithBothTimes) {
    TempDir tmp;
    std::string path = tmp.file(".settings");
    KeyValueStore kv(path.c_str());
    EXPECT_FALSE(kv.IsChanged());
    std::istringstream lines(readFile(path));
    std::string created, updated, extra;
    ASSERT_TRUE(std::getline(lines, created));
    ASSERT_TRUE(std::getline(lines, updated));
    EXPECT_FALSE(std::getline(lines, extra));
    ASSERT_EQ(created.rfind("CREATED_TIME=", 0), 0u) << created;
    ASSERT_EQ(updated.rfind("UPDATED_TIME=", 0), 0u) << updated;
    std::string time = created.substr(13);
    EXPECT_EQ(time.size(), 24u);
    EXPECT_TRUE(std::regex_match(time, kTimeText)) << time;
    EXPECT_EQ(updated.substr(13), time);
    EXPECT_EQ(kv.GetString(KeyValueStore::KEY_CREATED_TIME), time);
}

TEST(KeyValueStore, AnExistingFileThatCannotBeReadIsNotReplaced) {
    TempDir tmp;
    std::string path = tmp.file(".settings");
    ASSERT_EQ(symlink(path.c_str(), path.c_str()), 0); // opening it fails with ELOOP, yet it exists
    KeyValueStore kv(path.c_str());
    EXPECT_TRUE(std::filesystem::is_symlink(path));
    EXPECT_NE(kv[KeyValueStore::KEY_CREATED_TIME], nullptr); // kept in memory only

    // A later save cannot open it for writing either, so it leaves it alone too.
    FILE *log = tmpfile();
    Log::SetOutput(log);
    Log::ActivatePackage(DEBUG_Attributes);
    kv.Add("K", "v");
    kv.Save();
    Log::SetOutput(nullptr);
    Log::DeactivatePackage(DEBUG_Attributes);
    rewind(log);
    char line[512] = {};
    ASSERT_NE(fgets(line, sizeof line, log), nullptr);
    fclose(log);
    EXPECT_EQ(std::string(line), "Attibutes: Error - cannot open attributes file for writting: '" + path + "' (" +
                                     std::to_string(ELOOP) + ")\n");
    EXPECT_TRUE(std::filesystem::is_symlink(path));
    EXPECT_TRUE(kv.IsChanged());
}

TEST(KeyValueStore, SaveKeepsTheFileMode) {
    TempDir tmp;
    std::string path = tmp.file("settings");
    writeFile(path, "A=1\n");
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    KeyValueStore kv(path.c_str());
    kv.Add("B", "2");
    kv.Save();
    EXPECT_EQ(readFile(path).rfind("A=1\nB=2\nUPDATED_TIME=", 0), 0u);
    EXPECT_EQ(std::filesystem::status(path).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST(KeyValueStore, LoadMergesIntoWhatIsThere) {
    TempDir tmp;
    writeFile(tmp.file("one"), "A=1\nB=1\n");
    writeFile(tmp.file("two"), "B=2\nC=2\n");
    KeyValueStore kv(tmp.file("one").c_str());
    kv.Load(tmp.file("two").c_str());
    EXPECT_EQ(kv.Entries(), (Entries{{"A", "1"}, {"B", "2"}, {"C", "2"}}));
    EXPECT_EQ(kv.FileName(), tmp.file("two"));
}

TEST(KeyValueStore, GettersConvertOrFallBack) {
    TempDir tmp;
    std::string path = tmp.file("settings");
    writeFile(path, "BUILD=12345.bird\nEMPTY=\nHEX=0x1F\nhex=ff\nFLAG=2\nOFF=0\nD=2.5\nWORD=abc\n");
    KeyValueStore kv(path.c_str());
    EXPECT_EQ(kv.GetInt("BUILD", -1), 12345);
    EXPECT_EQ(kv.GetInt("EMPTY", 7), 7);
    EXPECT_EQ(kv.GetInt("WORD", 7), 0); // not a number: the conversion's result, not the default
    EXPECT_EQ(kv.GetHex("HEX", 0), 0x1Fu);
    EXPECT_EQ(kv.GetHex("hex", 0), 0xFFu);
    EXPECT_EQ(kv.GetHex("EMPTY", 0xAB), 0xABu);
    EXPECT_TRUE(kv.GetBOOL("FLAG", false));
    EXPECT_FALSE(kv.GetBOOL("OFF", true));
    EXPECT_TRUE(kv.GetBOOL("EMPTY", true));
    EXPECT_DOUBLE_EQ(kv.GetDouble("D", 0), 2.5);
    EXPECT_DOUBLE_EQ(kv.GetDouble("EMPTY", 1.25), 1.25);
    EXPECT_EQ(kv.GetString("EMPTY", "default"), "");
    EXPECT_EQ(kv.GetString("ABSENT", "default"), "default");
    EXPECT_EQ(kv.GetString("ABSENT"), "");
    EXPECT_EQ(kv["ABSENT"], nullptr);
    EXPECT_STREQ(kv["EMPTY"], "");
    EXPECT_FALSE(kv.IsChanged());
}

TEST(KeyValueStore, NumberGettersInsertAbsentKeysThatSaveThenWrites) {
    TempDir tmp;
    std::string path = tmp.file("settings");
    writeFile(path, "A=1\n");
    KeyValueStore kv(path.c_str());
    EXPECT_EQ(kv.GetInt("MISSING", 7), 7);
    EXPECT_EQ(kv.GetHex("MISSING_HEX", 3), 3u);
    EXPECT_EQ(kv.GetString("NOT_INSERTED", "x"), "x");
    EXPECT_EQ(kv["ALSO_NOT_INSERTED"], nullptr);
    EXPECT_FALSE(kv.IsChanged());
    kv.Save();
    EXPECT_EQ(readFile(path), "A=1\nMISSING=\nMISSING_HEX=\n");
}

TEST(KeyValueStore, AddFormatsAndMarksOnlyRealChanges) {
    TempDir tmp;
    KeyValueStore kv;
    kv.Add("I", -42);
    kv.Add("D", 2.5);
    kv.AddHex("H", 0xABCD);
    kv.Add("S", std::string("text"));
    kv.Add("C", "chars");
    EXPECT_EQ(kv.Entries(),
              (Entries{{"C", "chars"}, {"D", "2.500000"}, {"H", "0x0000ABCD"}, {"I", "-42"}, {"S", "text"}}));

    KeyValueStore fresh;
    fresh.Add("E", ""); // an absent key counts as empty text
    EXPECT_FALSE(fresh.IsChanged());
    fresh.Add(KeyValueStore()); // nothing to copy
    EXPECT_FALSE(fresh.IsChanged());

    KeyValueStore other;
    other.Add("I", "1");
    other.Add("NEW", "n");
    fresh.Add(other);
    EXPECT_TRUE(fresh.IsChanged());
    kv.Add(other);
    EXPECT_STREQ(kv["I"], "1");
    EXPECT_STREQ(kv["NEW"], "n");

    KeyValueStore self;
    self.Add("A", "1");
    self.Save(tmp.file("self").c_str());
    self.Add(self); // copies its one entry onto itself
    EXPECT_TRUE(self.IsChanged());
    EXPECT_EQ(self.Entries().size(), 2u);

    // "%f" of a large number is hundreds of characters long; none may be cut off.
    char big[512];
    snprintf(big, sizeof big, "%f", 1e300);
    ASSERT_GT(strlen(big), 300u);
    kv.Add("BIG", 1e300);
    EXPECT_EQ(kv.GetString("BIG"), big);
    EXPECT_DOUBLE_EQ(kv.GetDouble("BIG", 0), 1e300);

    KeyValueStore copy = kv;
    EXPECT_EQ(copy.Entries(), kv.Entries());
    EXPECT_TRUE(copy.IsChanged());
    copy.Clear();
    EXPECT_TRUE(copy.Entries().empty());
    EXPECT_FALSE(kv.Entries().empty());
}

TEST(KeyValueStore, SaveWithoutAnyNameUsesTheDefaultInTheWorkingDirectory) {
    TempDir tmp;
    std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(tmp.path());
    KeyValueStore kv;
    kv.Add("K", "v");
    kv.Save();
    std::filesystem::current_path(before);
    EXPECT_EQ(kv.FileName(), ".settings");
    std::string text = readFile(tmp.file(".settings"));
    EXPECT_EQ(text.rfind("K=v\nUPDATED_TIME=", 0), 0u) << text;
}

TEST(KeyValueStore, AFailedSaveIsLoggedAndKeepsTheStoreChanged) {
    TempDir tmp;
    std::string path = tmp.file("no/such/dir/.settings");
    FILE *log = tmpfile();
    Log::SetOutput(log);
    Log::ActivatePackage(DEBUG_Attributes);
    KeyValueStore kv;
    kv.Add("K", "v");
    kv.Save(path.c_str());
    Log::SetOutput(nullptr);
    Log::DeactivatePackage(DEBUG_Attributes);
    rewind(log);
    char line[512] = {};
    ASSERT_NE(fgets(line, sizeof line, log), nullptr);
    fclose(log);
    const std::string want = "Attibutes: Error - cannot open attributes file for writting: '" + path + "' (2)\n";
    EXPECT_EQ(std::string(line), want);
    EXPECT_TRUE(kv.IsChanged());
    EXPECT_FALSE(std::filesystem::exists(path));
}

// A child saves a large store over and over, each save one generation of values; it is
// killed at random moments. Whatever the moment, the file must hold one whole generation.
TEST(KeyValueStoreCrash, SaveKilledAtAnyMomentLeavesTheOldOrTheNewFile) {
    TempDir tmp;
    const std::string path = tmp.file(".settings");
    constexpr int kKeys = 3000;
    auto fill = [](KeyValueStore &kv, int generation) {
        char key[16];
        std::string value = "generation " + std::to_string(generation) + " " + std::string(200, 'x');
        for (int i = 0; i < kKeys; ++i) {
            snprintf(key, sizeof key, "KEY%05d", i);
            kv.Add(key, value);
        }
    };
    // Returns the generation the file holds, or -1 when it is not one whole generation.
    auto generationOnDisk = [&]() {
        std::string text = readFile(path);
        if (text.empty() || text.back() != '\n')
            return -1;
        std::istringstream lines(text);
        std::string line;
        int generation = -2, count = 0;
        while (std::getline(lines, line)) {
            if (line.rfind("UPDATED_TIME=", 0) == 0)
                continue;
            size_t at = line.find("=generation ");
            if (at == std::string::npos)
                return -1;
            int g = atoi(line.c_str() + at + 12);
            std::string value = "=generation " + std::to_string(g) + " " + std::string(200, 'x');
            if (line.compare(at, std::string::npos, value) != 0)
                return -1;
            if (generation != -2 && g != generation)
                return -1;
            generation = g;
            ++count;
        }
        return count == kKeys ? generation : -1;
    };

    // One save's duration in this build (sanitizers slow it down many times) sets the
    // range of kill moments, so that some kills land after whole saves and most inside one.
    const auto before = std::chrono::steady_clock::now();
    KeyValueStore initial;
    fill(initial, 0);
    initial.Save(path.c_str());
    const auto saveUs =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - before);
    ASSERT_EQ(generationOnDisk(), 0);

    std::mt19937 random(20240611);
    std::uniform_int_distribution<long> delayUs(0, std::max<long>(25000, 3 * saveUs.count()));
    int last = 0, advanced = 0;
    for (int iteration = 0; iteration < 50; ++iteration) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            KeyValueStore kv;
            for (int generation = last + 1; generation < last + 100000; ++generation) {
                fill(kv, generation);
                kv.Save(path.c_str());
            }
            _exit(0);
        }
        usleep(static_cast<useconds_t>(delayUs(random))); // the moment of the kill, not a wait for anything
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        int generation = generationOnDisk();
        ASSERT_GE(generation, last) << "iteration " << iteration << ": torn or older file";
        advanced += generation > last;
        last = generation;
    }
    EXPECT_GT(advanced, 0) << "no save ever completed: the kills came too early to test anything";
}

} // namespace
