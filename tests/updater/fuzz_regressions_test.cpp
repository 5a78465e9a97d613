// Replays the fuzz targets' seed inputs (fuzz/corpus/<target>/) and every input a fuzzer
// once failed on (tests/data/fuzz-regressions/<target>/) through the same entry points
// and checks, so every build, not only the clang fuzzing one, keeps them fixed.
#include "FuzzTargets.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Target {
    const char *name;
    bool (*run)(const uint8_t *data, size_t size);
};

const Target kTargets[] = {{"bird", FuzzBirdFile},
                           {"server_answer", FuzzServerAnswer},
                           {"keyvalue", FuzzKeyValueStore},
                           {"packet", FuzzPacketStream}};

std::vector<fs::path> _inputs(const fs::path &dir) {
    std::vector<fs::path> files;
    if (fs::is_directory(dir))
        for (const auto &entry : fs::directory_iterator(dir))
            if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
                files.push_back(entry.path());
    return files;
}

std::vector<uint8_t> _read(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class FuzzReplay : public ::testing::TestWithParam<Target> {
  protected:
    // The log lines that quote parsed text are formatted, as under the fuzzer.
    void SetUp() override { FuzzLogEverything(); }
    void TearDown() override { FuzzRestoreLog(); }

    void replay(const std::vector<fs::path> &files) {
        for (const fs::path &file : files) {
            SCOPED_TRACE(file.string());
            const std::vector<uint8_t> bytes = _read(file);
            EXPECT_TRUE(GetParam().run(bytes.data(), bytes.size()));
        }
    }
};

TEST_P(FuzzReplay, SeedsAndSavedFailures) {
    const auto seeds = _inputs(fs::path(FUZZ_CORPUS_DIR) / GetParam().name);
    ASSERT_FALSE(seeds.empty()) << "no seeds for " << GetParam().name;
    replay(seeds);
    replay(_inputs(fs::path(FUZZ_REGRESSIONS_DIR) / GetParam().name));
}

TEST_P(FuzzReplay, EmptyAndTinyInputs) {
    const uint8_t bytes[] = {0x00, 0x01, 0xFF};
    for (size_t size = 0; size <= sizeof bytes; ++size)
        EXPECT_TRUE(GetParam().run(bytes, size)) << size << " bytes";
}

INSTANTIATE_TEST_SUITE_P(, FuzzReplay, ::testing::ValuesIn(kTargets),
                         [](const auto &p) { return std::string(p.param.name); });

} // namespace
