// Random command lines against the real binary: whatever the words, the program
// ends by itself with status 0 or 1 and the sanitizers stay quiet.
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

#include "Runner.h"
#include "TempDir.h"

namespace {

const char *const kOptionTexts[] = {"-B", "-L", "-G", "-I", "-OVERRIDE", "-O",     "-Y",   "-C", "-J", "-h",
                                    "-H", "-n", "-X", "-Z", "-m",        "-b",     "-d",   "-t", "-f", "-r",
                                    "-s", "-o", "-e", "-l", "-k",        "--help", "--he", "--", "-",  "-x"};

// Words that would reach devices (-D, -U, -N) or move the server or the store away
// from the test's loopback URL and temporary directory.
bool forbidden(const std::string &word) {
    for (const char *prefix : {"-D", "-U", "-N", "-u", "-i"})
        if (word.rfind(prefix, 0) == 0)
            return true;
    return false;
}

class WordMaker {
  public:
    explicit WordMaker(unsigned seed) : rng(seed) {}

    std::string bytes(size_t maxLength) {
        std::string w(pick(maxLength + 1), ' ');
        for (char &c : w)
            c = static_cast<char>(1 + pick(255)); // no NUL inside an argv word
        return w;
    }

    std::string optionish() {
        std::string w = kOptionTexts[pick(std::size(kOptionTexts))];
        switch (pick(4)) {
        case 0:
            return w;
        case 1:
            return w + "=" + bytes(12);
        case 2:
            return w + bytes(4);
        default:
            return "0x" + bytes(10);
        }
    }

    std::vector<std::string> line() {
        std::vector<std::string> words;
        switch (pick(4)) {
        case 0:
            for (size_t n = pick(20); n > 0; --n)
                words.push_back(bytes(40));
            break;
        case 1:
            for (size_t n = pick(20); n > 0; --n)
                words.push_back(pick(2) ? optionish() : bytes(12));
            break;
        case 2:
            words.push_back(optionish());
            words.push_back(bytes(60000));
            words.push_back(optionish());
            words.push_back(std::string(70000, 'F'));
            break;
        default:
            for (size_t n = 1000 + pick(4000); n > 0; --n)
                words.push_back(pick(3) ? optionish() : bytes(8));
            break;
        }
        std::vector<std::string> kept;
        for (std::string &w : words)
            if (!forbidden(w))
                kept.push_back(std::move(w));
        return kept;
    }

  private:
    size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); }
    std::mt19937 rng;
};

TEST(ArgvFuzz, RandomWordsNeverCrash) {
    TempDir store;
    WordMaker maker(20240611);
    for (int run = 0; run < 250; ++run) {
        std::vector<std::string> words{"-u", "http://127.0.0.1:1/cgi/u", "-i", store.path()};
        std::vector<std::string> random = maker.line();
        words.insert(words.end(), random.begin(), random.end());
        RunOptions options;
        options.timeoutMs = 30000;
        RunResult r = runUpdater(words, options);
        std::string where = "run " + std::to_string(run) + " with " + std::to_string(random.size()) + " words";
        ASSERT_FALSE(r.timedOut) << where;
        ASSERT_EQ(r.termSignal, 0) << where << "\n" << r.stderrText.substr(0, 4000);
        ASSERT_TRUE(r.exitStatus == 0 || r.exitStatus == 1) << where << "\n" << r.stderrText.substr(0, 4000);
        for (const char *alarm : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"})
            ASSERT_EQ(r.stderrText.find(alarm), std::string::npos) << where << "\n" << r.stderrText.substr(0, 4000);
    }
}

} // namespace
