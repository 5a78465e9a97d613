// Latency of a request and its reply through the link engine over TCP
// loopback, against a raw socket ping-pong of the same bytes with the same
// virtual device, measured side by side.
#include "SimDeviceProcess.h"
#include "aLink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 3000;

bool isEcho(const aPacket *p, void *ref) {
    return p->length == 3 && p->data[0] == 23 && p->data[1] == *static_cast<uint8_t *>(ref);
}

double medianUs(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::vector<double> rawPingPong(uint16_t port) {
    std::vector<double> times;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        return times;
    for (int i = 0; i < kRounds; ++i) {
        const uint8_t req[5] = {4, 3, 23, static_cast<uint8_t>(i), 0x5A};
        uint8_t rep[5];
        const auto t0 = Clock::now();
        if (send(fd, req, 5, 0) != 5 || recv(fd, rep, 5, MSG_WAITALL) != 5)
            break;
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    close(fd);
    return times;
}

std::vector<double> engineRoundTrips(uint16_t port, uint32_t serial) {
    std::vector<double> times;
    uint32_t id = aLink_CreateTCPIP(serial, htonl(INADDR_LOOPBACK), port);
    if (!id)
        return times;
    for (int i = 0; i < kRounds; ++i) {
        uint8_t tag = static_cast<uint8_t>(i);
        const uint8_t data[3] = {23, tag, 0x5A};
        aPacket *req = aPacket_CreateWithData(4, 3, data);
        const auto t0 = Clock::now();
        aLink_PutPacket(id, req);
        aPacket *rep = aLink_AwaitFirst(id, isEcho, &tag, 1000);
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        aPacket_Destroy(&req);
        if (!rep)
            break;
        aPacket_Destroy(&rep);
    }
    aLink_Destroy(&id);
    return times;
}

} // namespace

int main() {
    SimDeviceProcess raw(SIM_DEVICE_EXE, {"--serial", "0C0C0C0C"});
    SimDeviceProcess engine(SIM_DEVICE_EXE, {"--serial", "0D0D0D0D"});
    if (!raw.ready() || !engine.ready()) {
        std::fprintf(stderr, "virtual device did not start\n");
        return 1;
    }
    // Interleave the two in halves so drifts of the machine hit both alike.
    std::vector<double> rawTimes, engineTimes;
    for (int half = 0; half < 2; ++half) {
        auto r = rawPingPong(raw.port());
        auto e = engineRoundTrips(engine.port(), 0x0D0D0D0D);
        rawTimes.insert(rawTimes.end(), r.begin(), r.end());
        engineTimes.insert(engineTimes.end(), e.begin(), e.end());
    }
    if (rawTimes.size() != 2u * kRounds || engineTimes.size() != 2u * kRounds) {
        std::fprintf(stderr, "round trips failed (raw %zu, engine %zu)\n", rawTimes.size(), engineTimes.size());
        return 1;
    }
    const double rawUs = medianUs(rawTimes), engineUs = medianUs(engineTimes);
    std::printf("request/reply over TCP loopback, median of %d: raw socket %.1f us, link engine %.1f us, "
                "ratio %.2f (target <= 3)\n",
                2 * kRounds, rawUs, engineUs, engineUs / rawUs);
    return engineUs / rawUs <= 3.0 ? 0 : 1;
}
