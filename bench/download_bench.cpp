// -G of a build whose image is 20 MiB against the plain tools doing the same work: curl
// fetching the same answer plus base64 -d of its image line, side by side in one run.
// Prints median times, their ratio (target: at most 1.3) and the updater's peak memory
// against the image size (target: at most 4 times).
//
//   download_bench [rounds]
//   download_bench --catalogue-only DIR   (writes the catalogue for sim_server and stops)
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdBuilder.h"
#include "SimProcess.h"
#include "TempDir.h"

namespace {

struct Run {
    double seconds;
    long peakKiB;
    int status;
};

// Runs argv to completion with stdout to outPath and stderr to /dev/null. fork, not
// posix_spawn: a child's peak memory starts from the memory of the process it was made
// from, and a forked copy starts at this process's current (small) size, not its peak.
Run _run(const std::vector<std::string> &argv, const std::string &outPath = "/dev/null") {
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int null = open("/dev/null", O_WRONLY);
        dup2(out, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    if (pid < 0)
        throw std::runtime_error("cannot start " + argv[0]);
    int raw = 0;
    rusage usage{};
    wait4(pid, &raw, 0, &usage);
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return Run{seconds, usage.ru_maxrss, WIFEXITED(raw) ? WEXITSTATUS(raw) : -1};
}

double _median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

namespace {

int runBench(int argc, char **argv) {
    const bool catalogueOnly = argc > 2 && std::string(argv[1]) == "--catalogue-only";
    const int rounds = argc > 1 && !catalogueOnly ? std::max(1, atoi(argv[1])) : 5;
    const size_t imageTarget = 20u << 20;
    TempDir tmp;
    const std::string catalogue = catalogueOnly ? std::string(argv[2]) : tmp.file("catalogue");
    std::filesystem::create_directories(catalogue + "/40F5849A");

    // Random firmware so the compressed image is as large as the payload. Built in a scope
    // and trimmed: a spawned child's peak memory counts this process's memory at the spawn.
    size_t imageSize = 0;
    {
        BirdBuilder::Bytes payload(imageTarget - 256);
        std::mt19937 rng(7);
        for (auto &b : payload)
            b = static_cast<uint8_t>(rng());
        BirdBuilder builder;
        builder.addInfo(120, "1.10.0", 0x40F5849A, "AX-HUB").addFirmware(0x1000, payload).setCompressionLevel(1);
        const BirdBuilder::Bytes image = builder.bytes();
        imageSize = image.size();
        writeFile(catalogue + "/40F5849A/120.bird", std::string(image.begin(), image.end()));
    }
    writeFile(catalogue + "/catalogue.txt",
              "device 40F5849A recommend 120 firmware FW-40F5\nbuild 40F5849A 120 1.10.0\n");

    if (catalogueOnly)
        return 0;

    SimProcess server(SIM_SERVER_EXE, {"--catalogue", catalogue});
    const std::string url = server.endpoint();
    const std::string birdUrl = url + "?bld=120&fw=FW-40F5&no_cal=false&op=bird&sn=40F5849A&";
    const std::string curl = "/usr/bin/curl", base64 = "/usr/bin/base64";

    // The image line of the answer, for base64 -d; cutting it out is not timed.
    if (_run({curl, "-s", "-o", tmp.file("answer.txt"), birdUrl}).status != 0)
        throw std::runtime_error("curl could not fetch the answer");
    {
        std::string answer = readFile(tmp.file("answer.txt"));
        size_t start = answer.find('\n') + 1;
        writeFile(tmp.file("image.b64"), answer.substr(start, answer.find('\n', start) - start));
    }
    malloc_trim(0);

    std::vector<double> updaterTimes, toolTimes;
    long peakKiB = 0;
    for (int round = 0; round < rounds; ++round) {
        std::filesystem::remove_all(tmp.file("home"));
        std::filesystem::create_directories(tmp.file("home"));
        Run u = _run({UPDATER_EXE, "-u", url, "-i", tmp.file("home"), "-G", "-d", "40F5849A"});
        if (u.status != 0)
            throw std::runtime_error("updater -G failed");
        updaterTimes.push_back(u.seconds);
        peakKiB = std::max(peakKiB, u.peakKiB);

        Run fetch = _run({curl, "-s", "-o", tmp.file("answer.txt"), birdUrl});
        Run decode = _run({base64, "-d", tmp.file("image.b64")}, tmp.file("image.bird"));
        if (fetch.status != 0 || decode.status != 0)
            throw std::runtime_error("curl or base64 failed");
        toolTimes.push_back(fetch.seconds + decode.seconds);
    }
    if (readFile(tmp.file("home") + "/updater/40F5849A/120.bird") != readFile(tmp.file("image.bird")))
        throw std::runtime_error("the stored image differs from the decoded answer");

    const double u = _median(updaterTimes), t = _median(toolTimes);
    const double imageMiB = imageSize / 1048576.0, peakMiB = peakKiB / 1024.0;
    printf("image: %.1f MiB (Base64 answer %.1f MiB), %d rounds, medians\n", imageMiB,
           std::filesystem::file_size(tmp.file("answer.txt")) / 1048576.0, rounds);
    printf("updater -G (ping, query, list, download, decode, check, write): %.3f s\n", u);
    printf("curl of the same answer + base64 -d of its image:               %.3f s\n", t);
    printf("time ratio: %.2f (target <= 1.30) %s\n", u / t, u / t <= 1.3 ? "OK" : "OVER");
    printf("updater peak memory: %.1f MiB = %.2f x image (target <= 4) %s\n", peakMiB, peakMiB / imageMiB,
           peakMiB / imageMiB <= 4.0 ? "OK" : "OVER");
    return 0;
}

} // namespace

// An exception that leaves main unwinds nothing, which would leave sim_server running.
int main(int argc, char **argv) {
    try {
        return runBench(argc, argv);
    } catch (const std::exception &e) {
        fprintf(stderr, "download_bench: %s\n", e.what());
        return 1;
    }
}
