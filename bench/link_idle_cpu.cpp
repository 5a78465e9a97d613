// CPU cost of idle links: holds one idle TCP link and one idle serial link (to
// the virtual device) for 10 s and compares the process's CPU time with the
// wall time.
#include "SimDeviceProcess.h"
#include "aLink.h"

#include <arpa/inet.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {
double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
} // namespace

int main() {
    SimDeviceProcess tcp(SIM_DEVICE_EXE, {"--serial", "0A0A0A0A"});
    SimDeviceProcess serial(SIM_DEVICE_EXE, {"--pty", "--serial", "0B0B0B0B"});
    if (!tcp.ready() || !serial.ready()) {
        std::fprintf(stderr, "virtual device did not start\n");
        return 1;
    }
    uint32_t tcpLink = aLink_CreateTCPIP(0x0A0A0A0A, htonl(INADDR_LOOPBACK), tcp.port());
    uint32_t serialLink = aLink_CreateSerial(0x0B0B0B0B, serial.endpoint().c_str(), 115200);
    if (!tcpLink || !serialLink) {
        std::fprintf(stderr, "links not created\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // past the start-up traffic
    const double cpu0 = cpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double cpu = cpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    std::printf("idle links (1 TCP + 1 serial): cpu %.3f s over wall %.3f s = %.3f%% (target < 1%%)\n", cpu, wall,
                100.0 * cpu / wall);
    aLink_Destroy(&tcpLink);
    aLink_Destroy(&serialLink);
    return cpu / wall < 0.01 ? 0 : 1;
}
