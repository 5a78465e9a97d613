#include "SimProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

// Waits for the child with a bounded number of short polls; true when it was reaped.
bool _reap(pid_t pid, int *status, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR))
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace

SimProcess::SimProcess(const std::string &exe, const std::vector<std::string> &args, int timeoutMs,
                       const std::string &readyPrefix) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(exe.c_str()));
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        // A test killed by its time-out must not leave its simulators running.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(out[1], STDOUT_FILENO); // standard error stays the test's own
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    if (pid_ < 0) {
        close(out[0]);
        throw std::runtime_error("fork failed");
    }

    std::string seen;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool ready = false, out_open = true;
    while (!ready && out_open) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd fds[1] = {{out[0], POLLIN, 0}};
        if (poll(fds, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buffer[512];
        {
            ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0) {
                out_open = false;
                continue;
            }
            seen.append(buffer, static_cast<size_t>(n));
            size_t at = seen.find(readyPrefix);
            size_t eol = at == std::string::npos ? std::string::npos : seen.find('\n', at);
            if (eol != std::string::npos) {
                size_t from = at + readyPrefix.size();
                endpoint_ = seen.substr(from, eol - from);
                unread_ = seen.substr(eol + 1);
                ready = true;
            }
        }
    }
    // Kept open until stop(): closing it would kill a chatty child with SIGPIPE.
    stdout_ = out[0];
    if (!ready) {
        stop();
        throw std::runtime_error(exe + " did not report READY; output so far: " + seen);
    }
}

SimProcess::~SimProcess() { stop(); }

int SimProcess::stop() {
    if (pid_ <= 0)
        return status_;
    int raw = 0;
    kill(pid_, SIGTERM);
    if (!_reap(pid_, &raw, 10000)) {
        kill(pid_, SIGKILL);
        _reap(pid_, &raw, 10000);
    }
    pid_ = -1;
    if (stdout_ >= 0)
        close(stdout_);
    stdout_ = -1;
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return status_;
}
