#include "SimDeviceProcess.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

SimDeviceProcess::SimDeviceProcess(const std::string &exe, const std::vector<std::string> &args) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return;
    std::vector<std::string> all{exe};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        // A test killed by its time-out must not leave its devices running.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(pipeFds[1], STDOUT_FILENO);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    out_ = pipeFds[0];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pid_ > 0 && endpoint_.empty() && std::chrono::steady_clock::now() < deadline) {
        if (!readSome(100))
            continue;
        for (const auto &l : lines_)
            if (l.rfind("READY ", 0) == 0)
                endpoint_ = l.substr(6);
    }
}

SimDeviceProcess::~SimDeviceProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        // Bounded: a device that ignores SIGTERM is killed after 10 s.
        int status;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            usleep(5000);
        }
    }
    if (out_ >= 0)
        close(out_);
}

uint16_t SimDeviceProcess::port() const {
    const auto colon = endpoint_.rfind(':');
    return colon == std::string::npos ? 0 : static_cast<uint16_t>(std::atoi(endpoint_.c_str() + colon + 1));
}

bool SimDeviceProcess::readSome(int timeoutMs) {
    pollfd p{out_, POLLIN, 0};
    if (out_ < 0 || poll(&p, 1, timeoutMs) != 1)
        return false;
    char buf[4096];
    const ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0)
        return false;
    pending_.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = pending_.find('\n')) != std::string::npos) {
        lines_.push_back(pending_.substr(0, nl));
        pending_.erase(0, nl + 1);
    }
    return true;
}

size_t SimDeviceProcess::count(const std::string &line) {
    while (readSome(0)) {
    }
    return static_cast<size_t>(std::count(lines_.begin(), lines_.end(), line));
}

bool SimDeviceProcess::waitForLine(const std::string &line, std::chrono::milliseconds timeout, size_t occurrences) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (static_cast<size_t>(std::count(lines_.begin(), lines_.end(), line)) >= occurrences)
            return true;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        readSome(static_cast<int>(std::min<long>(left.count(), 100)));
    }
}

std::vector<std::string> SimDeviceProcess::lines() {
    while (readSome(0)) {
    }
    return lines_;
}
