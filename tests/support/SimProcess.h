#pragma once
#include <string>
#include <utility>
#include <sys/types.h>
#include <vector>

// A simulator in a process of its own: started with its arguments, ready once it has
// printed "READY <endpoint>" on standard output, stopped with SIGTERM (then SIGKILL)
// by its pid when the object goes. Its standard error is the caller's; what it prints on
// standard output after READY stays unread in the pipe (up to the pipe's capacity).
class SimProcess {
  public:
    // Throws std::runtime_error when the program cannot start or does not report READY
    // within timeoutMs.
    // readyPrefix: the word that starts the line naming the endpoint.
    SimProcess(const std::string &exe, const std::vector<std::string> &args, int timeoutMs = 20000,
               const std::string &readyPrefix = "READY ");
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    const std::string &endpoint() const { return endpoint_; }
    pid_t pid() const { return pid_; }
    // The child's standard output, for callers that follow what it prints after READY
    // (-1 once stopped), and what had already been read past the READY line.
    int stdoutFd() const { return stdout_; }
    std::string takeUnread() { return std::move(unread_); }
    // Stops the process and returns its exit status (-1 when it died by a signal). Idempotent.
    int stop();

  private:
    pid_t pid_ = -1;
    int status_ = -1;
    int stdout_ = -1;
    std::string endpoint_;
    std::string unread_;
};
