#pragma once
#include <string>
#include <vector>

// How runProgram starts the child.
struct RunOptions {
    // Standard input and output on a pseudo-terminal in raw mode (no "\r\n" rewriting),
    // so the program sees a terminal; standard error stays a pipe.
    bool stdoutOnPty = false;
    // The child enters a network namespace of its own before exec: only a loopback
    // interface, down, so nothing it sends leaves the namespace. See networkIsolationAvailable.
    bool isolateNetwork = false;
    // "NAME=value" entries added to (or replacing in) the inherited environment.
    std::vector<std::string> env;
    // The child is killed with SIGKILL when it has not finished by then.
    int timeoutMs = 60000;
};

struct RunResult {
    int exitStatus = -1; // -1 when the child was killed by a signal
    int termSignal = 0;
    bool timedOut = false;
    std::string stdoutText; // the pty's bytes when stdoutOnPty
    std::string stderrText;
};

// Runs exe with args (exe itself is argv[0]), collects both outputs while it runs and
// waits for it. Throws std::runtime_error when the child cannot be started at all.
RunResult runProgram(const std::string &exe, const std::vector<std::string> &args, const RunOptions &options = {});

// Whether this process may create network namespaces (root or user namespaces).
bool networkIsolationAvailable();

#ifdef UPDATER_EXE
// The updater under test; the test target defines UPDATER_EXE as its path.
inline RunResult runUpdater(const std::vector<std::string> &args, const RunOptions &options = {}) {
    return runProgram(UPDATER_EXE, args, options);
}
#endif
