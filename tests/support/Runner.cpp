#include "Runner.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <stdexcept>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char **environ;

namespace {

void _close(int &fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

std::vector<std::string> _environment(const std::vector<std::string> &overrides) {
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string &o : overrides)
            if (o.substr(0, o.find('=')) == name)
                replaced = true;
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), overrides.begin(), overrides.end());
    return env;
}

std::vector<char *> _pointers(std::vector<std::string> &words) {
    std::vector<char *> out;
    for (std::string &w : words)
        out.push_back(w.data());
    out.push_back(nullptr);
    return out;
}

// Child side, between fork and exec: only async-signal-safe calls.
[[noreturn]] void _exec_child(const char *exe, char **argv, char **envp, int in, int out, int err, int report,
                              bool isolate) {
    int code = 0;
    if (isolate && unshare(CLONE_NEWNET) != 0)
        code = errno;
    if (code == 0 && (dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0))
        code = errno;
    if (code == 0) {
        execve(exe, argv, envp);
        code = errno;
    }
    ssize_t ignored = write(report, &code, sizeof code);
    (void)ignored;
    _exit(127);
}

} // namespace

RunResult runProgram(const std::string &exe, const std::vector<std::string> &args, const RunOptions &options) {
    std::vector<std::string> words{exe};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv = _pointers(words);
    std::vector<std::string> envWords = _environment(options.env);
    std::vector<char *> envp = _pointers(envWords);

    int outRead = -1, outWrite = -1, inFd = -1;
    if (options.stdoutOnPty) {
        struct termios raw {};
        cfmakeraw(&raw);
        if (openpty(&outRead, &outWrite, nullptr, &raw, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        inFd = outWrite;
    } else {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        outRead = p[0];
        outWrite = p[1];
        inFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    fcntl(outRead, F_SETFD, FD_CLOEXEC);
    fcntl(outWrite, F_SETFD, FD_CLOEXEC);
    int errPipe[2], report[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0)
        _exec_child(exe.c_str(), argv.data(), envp.data(), inFd, outWrite, errPipe[1], report[1],
                    options.isolateNetwork);

    if (inFd != outWrite)
        _close(inFd);
    _close(outWrite);
    _close(errPipe[1]);
    _close(report[1]);
    int errRead = errPipe[0];

    // The report pipe closes on exec; a value in it means the child never got there.
    int startError = 0;
    ssize_t got = read(report[0], &startError, sizeof startError);
    _close(report[0]);
    if (got == static_cast<ssize_t>(sizeof startError)) {
        waitpid(pid, nullptr, 0);
        _close(outRead);
        _close(errRead);
        throw std::runtime_error("cannot start " + exe + ": " + strerror(startError));
    }

    RunResult result;
    // Readable once the child has exited, so the wait below needs no polling interval.
    int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs);
    bool exited = pidFd < 0; // without a pidfd, EOF on both outputs ends the wait
    while (outRead >= 0 || errRead >= 0 || !exited) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            result.timedOut = true;
            break;
        }
        struct pollfd fds[3] = {{outRead, POLLIN, 0}, {errRead, POLLIN, 0}, {exited ? -1 : pidFd, POLLIN, 0}};
        if (poll(fds, 3, static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd < 0 || fds[k].revents == 0)
                continue;
            char buffer[65536];
            ssize_t n = read(fds[k].fd, buffer, sizeof buffer);
            if (n > 0) {
                (k == 0 ? result.stdoutText : result.stderrText).append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                // EOF; a pty master reports EIO once the last slave is closed.
                _close(k == 0 ? outRead : errRead);
            }
        }
        if (fds[2].fd >= 0 && fds[2].revents != 0)
            exited = true;
    }
    _close(outRead);
    _close(errRead);
    if (pidFd >= 0)
        close(pidFd);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.termSignal = WTERMSIG(status);
    }
    return result;
}

bool networkIsolationAvailable() {
    static const bool available = [] {
        pid_t pid = fork();
        if (pid == 0)
            _exit(unshare(CLONE_NEWNET) == 0 ? 0 : 1);
        int status = 0;
        return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }();
    return available;
}
