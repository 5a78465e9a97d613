// The namespace fixture itself: what a killed test leaves behind is removed by the next one.
#include "NetnsPair.h"
#include "Runner.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

bool _ip(const std::vector<std::string> &args, std::string *out = nullptr) {
    RunOptions options;
    options.timeoutMs = 10000;
    RunResult result = runProgram(NetnsPair::wrapperExe(), args, options);
    if (out != nullptr)
        *out = result.stdoutText;
    return result.exitStatus == 0;
}

bool _exists(const std::string &name) {
    std::string listing;
    _ip({"netns", "list"}, &listing);
    return listing.find(name + " ") != std::string::npos || listing.find(name + "\n") != std::string::npos;
}

// A pid no process can have.
pid_t _dead_pid() {
    std::ifstream in("/proc/sys/kernel/pid_max");
    long max = 0;
    in >> max;
    return static_cast<pid_t>(max + 1);
}

TEST(NetnsFixture, NamespacesOfDeadTestsAreRemovedWithWhatRunsInThem) {
    const std::string ip = NetnsPair::wrapperExe();
    if (access(ip.c_str(), X_OK) != 0 || !_ip({"netns", "list"}))
        GTEST_SKIP() << "no ip command";
    // As a test killed by ctest's time-out leaves it: a namespace with a device still running.
    const std::string stale = std::string(NetnsPair::kPrefix) + std::to_string(_dead_pid()) + "-0d";
    // Named after a process that is alive (the one that started us): not ours to remove.
    const std::string live =
        std::string(NetnsPair::kPrefix) + std::to_string(getppid()) + "-" + std::to_string(getpid()) + "d";
    if (!_ip({"netns", "add", stale}))
        GTEST_SKIP() << "network namespaces unavailable";
    ASSERT_TRUE(_ip({"netns", "add", live}));

    const pid_t sleeper = fork();
    if (sleeper == 0) {
        execl(ip.c_str(), ip.c_str(), "netns", "exec", stale.c_str(), "sleep", "60", static_cast<char *>(nullptr));
        _exit(127);
    }
    ASSERT_GT(sleeper, 0);
    // Wait (bounded) until it runs inside the namespace.
    bool inside = false;
    for (int attempt = 0; attempt < 500 && !inside; ++attempt) {
        std::string pids;
        _ip({"netns", "pids", stale}, &pids);
        inside = pids.find(std::to_string(sleeper)) != std::string::npos;
        if (!inside)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(inside);

    const std::vector<std::string> removed = NetnsPair::removeStale();
    EXPECT_NE(std::find(removed.begin(), removed.end(), stale), removed.end());
    EXPECT_EQ(std::find(removed.begin(), removed.end(), live), removed.end());
    EXPECT_FALSE(_exists(stale));
    EXPECT_TRUE(_exists(live));

    // The device left in the stale namespace was stopped; whatever happened, stop it by its pid.
    int status = 0;
    bool killedBySignal = false;
    for (int attempt = 0; attempt < 500; ++attempt) {
        const pid_t done = waitpid(sleeper, &status, WNOHANG);
        if (done == sleeper) {
            killedBySignal = WIFSIGNALED(status);
            break;
        }
        if (attempt == 499) {
            kill(sleeper, SIGKILL);
            waitpid(sleeper, &status, 0);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    EXPECT_TRUE(killedBySignal);
    _ip({"netns", "del", live});
    _ip({"netns", "del", stale});
}

} // namespace
