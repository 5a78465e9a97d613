#include "NetnsPair.h"

#include "Runner.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace {

std::string _find_ip() {
    for (const char *candidate : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (access(candidate, X_OK) == 0)
            return candidate;
    return "ip";
}

const std::string &_ip_exe() {
    static const std::string path = _find_ip();
    return path;
}

// The test process that made a namespace called `name` (NetnsPair::kPrefix, pid, "-", count,
// "d" or "h"); 0 when the name is not one of ours.
pid_t _owner_of(const std::string &name) {
    const std::string prefix = NetnsPair::kPrefix;
    if (name.compare(0, prefix.size(), prefix) != 0)
        return 0;
    char *end = nullptr;
    const long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
    if (pid <= 0 || end == name.c_str() + prefix.size() || *end != '-')
        return 0;
    return static_cast<pid_t>(pid);
}

bool _alive(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

} // namespace

NetnsPair::NetnsPair() {
    static std::atomic<unsigned> counter{0};
    removeStale();
    const std::string stem = kPrefix + std::to_string(getpid()) + "-" + std::to_string(counter++);
    device_ = stem + "d";
    host_ = stem + "h";
    std::string text;
    if (!ip({"netns", "add", device_}, &text)) {
        refused_ = true;
        error_ = "ip netns add refused: " + text;
        return;
    }
    createdDevice_ = true;
    if (!ip({"netns", "add", host_}, &text)) {
        error_ = "ip netns add " + host_ + ": " + text;
        return;
    }
    createdHost_ = true;
    // Interface names live inside the namespaces, so fixed names cannot collide between pairs.
    const std::vector<std::vector<std::string>> steps = {
        {"link", "add", "vethd", "netns", device_, "type", "veth", "peer", "name", "vethh", "netns", host_},
        {"-n", device_, "addr", "add", std::string(kDeviceAddress) + "/24", "dev", "vethd"},
        {"-n", host_, "addr", "add", std::string(kHostAddress) + "/24", "dev", "vethh"},
        {"-n", device_, "link", "set", "lo", "up"},
        {"-n", host_, "link", "set", "lo", "up"},
        {"-n", device_, "link", "set", "vethd", "up"},
        {"-n", host_, "link", "set", "vethh", "up"},
        {"-n", device_, "route", "add", "232.0.0.0/8", "dev", "vethd"},
        {"-n", host_, "route", "add", "232.0.0.0/8", "dev", "vethh"},
    };
    for (const auto &step : steps) {
        if (!ip(step, &text)) {
            std::ostringstream failure;
            failure << "ip";
            for (const auto &word : step)
                failure << ' ' << word;
            error_ = failure.str() + ": " + text;
            return;
        }
    }
    // A veth end sends nothing until both ends have carrier; wait (bounded) for it.
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (hasCarrier(device_, "vethd") && hasCarrier(host_, "vethh"))
            return;
        usleep(20000);
    }
    error_ = "the veth pair never came up";
}

bool NetnsPair::hasCarrier(const std::string &name, const std::string &interface) {
    RunOptions options;
    options.timeoutMs = 10000;
    try {
        RunResult result = runProgram(_ip_exe(), {"-n", name, "link", "show", interface}, options);
        return result.exitStatus == 0 && result.stdoutText.find("LOWER_UP") != std::string::npos;
    } catch (const std::exception &) {
        return false;
    }
}

NetnsPair::~NetnsPair() {
    leaveHost();
    if (createdHost_) {
        killRemaining(host_);
        ip({"netns", "del", host_});
    }
    if (createdDevice_) {
        killRemaining(device_);
        ip({"netns", "del", device_});
    }
}

// A test killed by its time-out (or by hand) never runs its destructor: its namespaces, and the
// devices still running in them, would stay forever. Whoever comes next removes them, sparing
// those of test processes still running (ctest -j runs several at once).
std::vector<std::string> NetnsPair::removeStale() {
    std::vector<std::string> removed;
    RunOptions options;
    options.timeoutMs = 10000;
    std::string listing;
    try {
        listing = runProgram(_ip_exe(), {"netns", "list"}, options).stdoutText;
    } catch (const std::exception &) {
        return removed;
    }
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
        const std::string name = line.substr(0, line.find(' ')); // "NAME (id: N)"
        const pid_t owner = _owner_of(name);
        if (owner == 0 || owner == getpid() || _alive(owner))
            continue;
        killRemaining(name);
        if (ip({"netns", "del", name}))
            removed.push_back(name);
    }
    return removed;
}

bool NetnsPair::ip(const std::vector<std::string> &args, std::string *errorText) {
    RunOptions options;
    options.timeoutMs = 10000;
    try {
        RunResult result = runProgram(_ip_exe(), args, options);
        if (errorText != nullptr)
            *errorText = result.stderrText;
        return result.exitStatus == 0;
    } catch (const std::exception &e) {
        if (errorText != nullptr)
            *errorText = e.what();
        return false;
    }
}

// A process a test forgot would keep the namespace alive after its name is gone.
void NetnsPair::killRemaining(const std::string &name) {
    RunOptions options;
    options.timeoutMs = 10000;
    try {
        RunResult result = runProgram(_ip_exe(), {"netns", "pids", name}, options);
        std::istringstream pids(result.stdoutText);
        pid_t pid;
        while (pids >> pid)
            if (pid > 1 && pid != getpid())
                kill(pid, SIGKILL);
    } catch (const std::exception &) {
    }
}

std::string NetnsPair::wrapperExe() { return _ip_exe(); }

std::vector<std::string> NetnsPair::inDevice(const std::string &exe, const std::vector<std::string> &args) const {
    std::vector<std::string> words = {"netns", "exec", device_, exe};
    words.insert(words.end(), args.begin(), args.end());
    return words;
}

bool NetnsPair::enterHost() {
    if (savedNamespace_ >= 0)
        return true;
    savedNamespace_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (savedNamespace_ < 0)
        return false;
    const std::string path = "/run/netns/" + host_;
    int target = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool entered = target >= 0 && setns(target, CLONE_NEWNET) == 0;
    if (target >= 0)
        close(target);
    if (!entered) {
        close(savedNamespace_);
        savedNamespace_ = -1;
    }
    return entered;
}

void NetnsPair::leaveHost() {
    if (savedNamespace_ < 0)
        return;
    (void)setns(savedNamespace_, CLONE_NEWNET);
    close(savedNamespace_);
    savedNamespace_ = -1;
}
