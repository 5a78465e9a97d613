#include "SimDeviceProcess.h"

#include <algorithm>
#include <cstdlib>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

SimDeviceProcess::SimDeviceProcess(const std::string &exe, const std::vector<std::string> &args) {
    try {
        process_ = std::make_unique<SimProcess>(exe, args, 10000);
    } catch (const std::runtime_error &) {
        return; // ready() stays false; the test asserts on it
    }
    endpoint_ = process_->endpoint();
    pending_ = process_->takeUnread();
    splitLines();
}

// The process is stopped by pid (SIGTERM, then SIGKILL) when process_ goes.
SimDeviceProcess::~SimDeviceProcess() = default;

uint16_t SimDeviceProcess::port() const {
    const auto colon = endpoint_.rfind(':');
    return colon == std::string::npos ? 0 : static_cast<uint16_t>(std::atoi(endpoint_.c_str() + colon + 1));
}

bool SimDeviceProcess::readSome(int timeoutMs) {
    const int out = process_ ? process_->stdoutFd() : -1;
    pollfd p{out, POLLIN, 0};
    if (out < 0 || poll(&p, 1, timeoutMs) != 1)
        return false;
    char buf[4096];
    const ssize_t n = read(out, buf, sizeof buf);
    if (n <= 0)
        return false;
    pending_.append(buf, static_cast<size_t>(n));
    splitLines();
    return true;
}

void SimDeviceProcess::splitLines() {
    size_t nl;
    while ((nl = pending_.find('\n')) != std::string::npos) {
        lines_.push_back(pending_.substr(0, nl));
        pending_.erase(0, nl + 1);
    }
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
