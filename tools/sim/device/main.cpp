// sim_device: the virtual Axolon device on a TCP port (127.0.0.1, any free port)
// or on a pseudo-terminal with the packetized serial framing. Prints
// "READY <endpoint>", then one "REC <event>" line per thing the host did.
#include "DeviceModel.h"
#include "DeviceServices.h"
#include "DiscoveryResponder.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <memory>
#include <string>
#include <vector>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

using simdevice::DeviceModel;

uint64_t nowMs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

void usage() {
    std::fprintf(stderr, "usage: sim_device [--pty] [--serial HEX] [--address N] [--model N] [--version HEX]\n"
                         "                  [--build N] [--name TEXT] [--heartbeat-ms N] [--garbage N]\n"
                         "                  [--odd-address] [--silent] [--drop-after N] [--record FILE]\n"
                         "                  [--refuse-after-drop MS]\n"
                         "                  [--listen IPV4] [--discovery] [--routed SERIAL:ADDRESS]...\n"
                         "                  [--bytes-reversed] [--bytes-truncated]\n");
}

FILE *gRecord = nullptr;

void emitRecords(DeviceModel &model) {
    for (const auto &r : model.takeRecords()) {
        std::printf("REC %s\n", r.text.c_str());
        if (gRecord)
            std::fprintf(gRecord, "%s\n", r.text.c_str());
    }
    std::fflush(stdout);
    if (gRecord)
        std::fflush(gRecord);
}

bool writeAll(int fd, const std::vector<uint8_t> &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

int pollTimeout(const DeviceModel &model) {
    const uint64_t due = model.nextDueMs();
    if (due == UINT64_MAX)
        return 1000;
    const uint64_t now = nowMs();
    return due <= now ? 0 : static_cast<int>(std::min<uint64_t>(due - now, 1000));
}

// The TCP address to listen on, and whether to answer discovery queries with its port.
std::string gListen = "127.0.0.1";
bool gDiscovery = false;

// After the drop fault fires, how long the port refuses connections (0: it
// accepts again at once). A host that reconnects at once would otherwise pass
// through its lost-connection state too briefly for a test to see it.
uint32_t gRefuseAfterDropMs = 0;

// Listens again on the port the device had: the dropped connection lingers
// on it, so the address must be reusable. -1 when the port is taken.
int reopenListener(const sockaddr_in &addr) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int serveTcp(DeviceModel &model, const simdevice::Identity &identity) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (inet_pton(AF_INET, gListen.c_str(), &addr.sin_addr) != 1) {
        std::fprintf(stderr, "sim_device: bad --listen address\n");
        return 2;
    }
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listener, 4) != 0) {
        std::perror("sim_device: listen");
        return 1;
    }
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    sim::DiscoveryResponder responder;
    if (gDiscovery) {
        sim::DiscoveryIdentity announced;
        announced.module = identity.moduleAddress;
        announced.tcpPort = ntohs(addr.sin_port);
        announced.serial = identity.serialNumber;
        announced.model = identity.model;
        std::string error;
        if (!responder.start(announced, &error)) {
            std::fprintf(stderr, "sim_device: discovery: %s\n", error.c_str());
            return 1;
        }
    }
    std::printf("READY %s:%u\n", gListen.c_str(), ntohs(addr.sin_port));
    std::fflush(stdout);
    int client = -1;
    int accepting = listener; // -1 while refusing connections after a drop
    uint64_t reopenAtMs = 0;
    for (;;) {
        int timeout = pollTimeout(model);
        if (accepting < 0) {
            const uint64_t now = nowMs();
            timeout = std::min<int>(timeout, reopenAtMs <= now ? 0 : static_cast<int>(reopenAtMs - now));
        }
        pollfd fds[2] = {{accepting, POLLIN, 0}, {client, POLLIN, 0}};
        const int ready = poll(fds, client >= 0 ? 2 : 1, timeout);
        if (ready < 0 && errno != EINTR)
            return 1;
        if (accepting < 0 && nowMs() >= reopenAtMs) {
            accepting = reopenListener(addr);
            if (accepting >= 0) {
                std::printf("LISTENING\n");
                std::fflush(stdout);
            } else {
                reopenAtMs = nowMs() + 50; // the port is briefly taken: try again
            }
        }
        if (client < 0 && accepting >= 0 && (fds[0].revents & POLLIN)) {
            client = accept4(accepting, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                int on = 1;
                setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                model.connected(nowMs());
                std::printf("CONNECTED\n");
            }
        }
        if (client >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            uint8_t buf[4096];
            const ssize_t n = read(client, buf, sizeof buf);
            if (n <= 0) {
                close(client);
                client = -1;
                std::printf("DISCONNECTED\n");
            } else {
                model.receive(buf, static_cast<size_t>(n), nowMs());
            }
        }
        if (client >= 0) {
            model.tick(nowMs());
            if (!writeAll(client, model.takeOutput())) {
                close(client);
                client = -1;
            }
            if (client >= 0 && model.takeDropRequest()) {
                close(client);
                client = -1;
                std::printf("DROPPED\n");
                if (gRefuseAfterDropMs > 0) {
                    // No listener at all, so connects are refused rather than
                    // accepted by the kernel and left waiting in the backlog.
                    close(accepting);
                    accepting = -1;
                    reopenAtMs = nowMs() + gRefuseAfterDropMs;
                    std::printf("REFUSING\n");
                }
            }
        }
        emitRecords(model);
    }
}

int servePty(DeviceModel &model) {
    int master = -1, slave = -1;
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master, &slave, name, &raw, nullptr) != 0) {
        std::perror("sim_device: openpty");
        return 1;
    }
    // Keeping our own slave descriptor open means the master never sees a
    // hang-up between hosts.
    std::printf("READY %s\n", name);
    std::fflush(stdout);
    model.connected(nowMs());
    for (;;) {
        pollfd p{master, POLLIN, 0};
        const int ready = poll(&p, 1, pollTimeout(model));
        if (ready < 0 && errno != EINTR)
            return 1;
        if (p.revents & POLLIN) {
            uint8_t buf[4096];
            const ssize_t n = read(master, buf, sizeof buf);
            if (n > 0)
                model.receive(buf, static_cast<size_t>(n), nowMs());
        }
        model.tick(nowMs());
        writeAll(master, model.takeOutput());
        emitRecords(model);
    }
}

} // namespace

int main(int argc, char **argv) {
    simdevice::Options options;
    simdevice::ServiceFaults serviceFaults;
    std::vector<std::pair<uint32_t, uint8_t>> routed; // serial, bus address
    bool pty = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--pty") {
            pty = true;
        } else if (a == "--serial") {
            options.identity.serialNumber = static_cast<uint32_t>(std::strtoul(value(), nullptr, 16));
        } else if (a == "--address") {
            options.identity.moduleAddress = static_cast<uint8_t>(std::strtoul(value(), nullptr, 0));
        } else if (a == "--model") {
            options.identity.model = static_cast<uint8_t>(std::strtoul(value(), nullptr, 0));
        } else if (a == "--version") {
            options.identity.version = static_cast<uint32_t>(std::strtoul(value(), nullptr, 16));
        } else if (a == "--build") {
            options.identity.build = static_cast<uint32_t>(std::strtoul(value(), nullptr, 0));
        } else if (a == "--name") {
            options.identity.name = value();
        } else if (a == "--heartbeat-ms") {
            options.heartbeatMs = static_cast<uint32_t>(std::strtoul(value(), nullptr, 0));
        } else if (a == "--garbage") {
            options.faults.garbageOnConnect = std::strtoul(value(), nullptr, 0);
        } else if (a == "--odd-address") {
            options.faults.oddAddress = true;
        } else if (a == "--silent") {
            options.faults.silent = true;
        } else if (a == "--drop-after") {
            options.faults.dropAfterPackets = static_cast<int>(std::strtol(value(), nullptr, 0));
        } else if (a == "--refuse-after-drop") {
            gRefuseAfterDropMs = static_cast<uint32_t>(std::strtoul(value(), nullptr, 0));
        } else if (a == "--listen") {
            gListen = value();
        } else if (a == "--discovery") {
            gDiscovery = true;
        } else if (a == "--routed") {
            char *end = nullptr;
            const uint32_t serial = static_cast<uint32_t>(std::strtoul(value(), &end, 16));
            if (*end != ':') {
                usage();
                return 2;
            }
            routed.emplace_back(serial, static_cast<uint8_t>(std::strtoul(end + 1, nullptr, 0)));
        } else if (a == "--bytes-reversed") {
            serviceFaults.bytesReversed = true;
        } else if (a == "--bytes-truncated") {
            serviceFaults.bytesTruncated = true;
        } else if (a == "--record") {
            gRecord = std::fopen(value(), "a");
        } else {
            usage();
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    options.framing = pty ? simdevice::Framing::Cobs : simdevice::Framing::Raw;
    DeviceModel model(options);
    simdevice::DeviceServices services(options.identity, serviceFaults);
    for (const auto &[serial, busAddress] : routed) {
        simdevice::Identity identity;
        identity.serialNumber = serial;
        identity.moduleAddress = busAddress;
        char name[32];
        std::snprintf(name, sizeof name, "routed %08X", serial);
        identity.name = name;
        services.attach(std::make_unique<simdevice::DeviceServices>(identity));
    }
    model.setServices(&services);
    return pty ? servePty(model) : serveTcp(model, options.identity);
}
