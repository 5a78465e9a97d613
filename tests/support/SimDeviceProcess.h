#pragma once
// Runs the virtual device (sim_device) through SimProcess: waits for its
// "READY <endpoint>" line, lets a test wait for the event lines it prints, and
// stops it by pid on destruction.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "SimProcess.h"

class SimDeviceProcess {
  public:
    SimDeviceProcess(const std::string &exe, const std::vector<std::string> &args);
    ~SimDeviceProcess();
    SimDeviceProcess(const SimDeviceProcess &) = delete;
    SimDeviceProcess &operator=(const SimDeviceProcess &) = delete;

    bool ready() const { return !endpoint_.empty(); }
    const std::string &endpoint() const { return endpoint_; }
    uint16_t port() const; // TCP mode: the port of "127.0.0.1:PORT"

    // Waits until a line equal to `line` has been printed (counting lines seen
    // before too); false after `timeout`.
    bool waitForLine(const std::string &line, std::chrono::milliseconds timeout, size_t occurrences = 1);
    // Lines printed so far (after reading whatever is waiting).
    std::vector<std::string> lines();
    size_t count(const std::string &line);

  private:
    bool readSome(int timeoutMs);
    void splitLines();
    std::unique_ptr<SimProcess> process_; // null when the device did not start
    std::string pending_;
    std::vector<std::string> lines_;
    std::string endpoint_;
};
