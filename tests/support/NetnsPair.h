#pragma once
// Two network namespaces joined by a veth pair, so multicast discovery runs on a network of its
// own: virtual devices run in the device namespace, the code under test in the host namespace,
// and nothing leaves either. Needs root (or CAP_SYS_ADMIN); everything is removed on destruction.
#include <string>
#include <vector>

class NetnsPair {
  public:
    static constexpr const char *kDeviceAddress = "10.77.0.1";
    static constexpr const char *kHostAddress = "10.77.0.2";
    // Every namespace made here is named kPrefix, the creating process's pid, "-", a count, and
    // "d" (device) or "h" (host).
    static constexpr const char *kPrefix = "axotest-";

    // Removes the namespaces left by test processes that died (removeStale), then creates both
    // namespaces, the veth pair with the addresses above and the route of the
    // multicast range 232.0.0.0/8 over it on both sides.
    NetnsPair();
    ~NetnsPair();
    NetnsPair(const NetnsPair &) = delete;
    NetnsPair &operator=(const NetnsPair &) = delete;

    bool ok() const { return error_.empty(); }
    // Set when the system refused to create a namespace at all (tests skip then); otherwise a
    // failure is a fault.
    bool refused() const { return refused_; }
    const std::string &error() const { return error_; }

    const std::string &deviceNamespace() const { return device_; }
    const std::string &hostNamespace() const { return host_; }

    // The program path and arguments that run `exe args` inside the device namespace (the
    // process keeps its pid, so it can be stopped by it).
    static std::string wrapperExe();
    std::vector<std::string> inDevice(const std::string &exe, const std::vector<std::string> &args) const;

    // Moves the calling thread into the host namespace; threads and processes it starts later
    // are there too. Undone by leaveHost or destruction. False when setns fails.
    bool enterHost();
    void leaveHost();

    // Removes every namespace of ours whose creating process is gone, after killing what still
    // runs in it; returns the names removed.
    static std::vector<std::string> removeStale();

  private:
    static bool ip(const std::vector<std::string> &args, std::string *errorText = nullptr);
    static void killRemaining(const std::string &name);
    static bool hasCarrier(const std::string &name, const std::string &interface);

    std::string device_, host_;
    bool createdDevice_ = false, createdHost_ = false, refused_ = false;
    std::string error_;
    int savedNamespace_ = -1;
};
