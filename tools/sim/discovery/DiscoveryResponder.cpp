#include "DiscoveryResponder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sim {

namespace {

constexpr uint16_t kQueryPort = 9888;
constexpr uint16_t kReplyPort = 9889;
constexpr const char *kGroup = "232.2.2.2";
constexpr size_t kDatagram = 16;

bool _join(int fd, in_addr group, uint32_t interfaceAddress) {
    ip_mreq membership{};
    membership.imr_multiaddr = group;
    membership.imr_interface.s_addr = interfaceAddress;
    return setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership)) == 0;
}

// Joins on every IPv4 interface but loopback; on the default one when there is none.
bool _join_everywhere(int fd, in_addr group) {
    ifaddrs *list = nullptr;
    bool joined = false, tried = false;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs *entry = list; entry != nullptr; entry = entry->ifa_next) {
            if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET)
                continue;
            const uint32_t address = reinterpret_cast<const sockaddr_in *>(entry->ifa_addr)->sin_addr.s_addr;
            if (address == 0 || address == htonl(INADDR_LOOPBACK))
                continue;
            tried = true;
            joined = _join(fd, group, address) || joined;
        }
        freeifaddrs(list);
    }
    return tried ? joined : _join(fd, group, htonl(INADDR_ANY));
}

} // namespace

bool isDiscoveryQuery(const uint8_t *bytes, size_t n) { return bytes != nullptr && n == kDatagram && bytes[0] == 1; }

std::vector<uint8_t> discoveryReply(const DiscoveryIdentity &identity) {
    std::vector<uint8_t> reply(kDatagram, 0);
    reply[1] = identity.module;
    reply[2] = static_cast<uint8_t>(identity.tcpPort);
    reply[3] = static_cast<uint8_t>(identity.tcpPort >> 8);
    for (int i = 0; i < 4; ++i)
        reply[4 + i] = static_cast<uint8_t>(identity.serial >> (8 * i));
    reply[12] = identity.model;
    reply.resize(std::min(identity.replyLength, kDatagram));
    return reply;
}

DiscoveryResponder::~DiscoveryResponder() { stop(); }

bool DiscoveryResponder::start(const DiscoveryIdentity &identity, std::string *error) {
    auto fail = [&](const char *what) {
        if (error != nullptr)
            *error = std::string(what) + ": " + std::strerror(errno);
        stop();
        return false;
    };
    if (socket_ >= 0)
        return fail("already started");
    identity_ = identity;
    socket_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket_ < 0)
        return fail("socket");
    int on = 1;
    // Several virtual devices on one host each get their own copy of a query.
    setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kQueryPort);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(socket_, reinterpret_cast<sockaddr *>(&local), sizeof(local)) != 0)
        return fail("bind");
    in_addr group{};
    inet_pton(AF_INET, kGroup, &group);
    if (!_join_everywhere(socket_, group))
        return fail("join multicast group");
    if (pipe2(wake_, O_CLOEXEC) != 0)
        return fail("pipe");
    thread_ = std::thread([this] { run(); });
    return true;
}

void DiscoveryResponder::stop() {
    if (thread_.joinable()) {
        const char byte = 0;
        (void)!write(wake_[1], &byte, 1);
        thread_.join();
    }
    for (int *fd : {&socket_, &wake_[0], &wake_[1]}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

void DiscoveryResponder::run() {
    const std::vector<uint8_t> reply = discoveryReply(identity_);
    for (;;) {
        pollfd fds[2] = {{socket_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
        uint8_t query[64];
        sockaddr_in sender{};
        socklen_t senderLength = sizeof(sender);
        const ssize_t n =
            recvfrom(socket_, query, sizeof(query), 0, reinterpret_cast<sockaddr *>(&sender), &senderLength);
        if (n < 0 || !isDiscoveryQuery(query, static_cast<size_t>(n)))
            continue;
        sender.sin_port = htons(kReplyPort);
        if (sendto(socket_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr *>(&sender), sizeof(sender)) ==
            static_cast<ssize_t>(reply.size()))
            ++answered_;
    }
}

} // namespace sim
