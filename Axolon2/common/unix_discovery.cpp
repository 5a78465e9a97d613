// TCP/IP discovery over UDP multicast: one query per IPv4 interface to the devices' group, and
// one listener that collects the unicast replies.
#include "discover.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr uint32_t sLOOPBACK_NETWORK_ORDER = 0x0100007F; // 127.0.0.1 as a socket address stores it

int sUdpSocket() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The listener for replies, bound to the reply port on `interfaceAddress` (0: every address).
int sOpenListener(uint32_t interfaceAddress) {
    int fd = sUdpSocket();
    if (fd < 0)
        return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(aDISCOVERY_REPLY_PORT);
    local.sin_addr.s_addr = interfaceAddress;
    timeval timeout{};
    timeout.tv_sec = aDISCOVERY_LISTEN_MS / 1000;
    timeout.tv_usec = (aDISCOVERY_LISTEN_MS % 1000) * 1000;
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof(local)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One query out of the interface with `interfaceAddress` (0: the system's default).
bool sSendQuery(uint32_t interfaceAddress) {
    int fd = sUdpSocket();
    if (fd < 0)
        return false;
    in_addr outgoing{};
    outgoing.s_addr = interfaceAddress;
    bool sent = false;
    if (interfaceAddress == 0 || setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof(outgoing)) == 0) {
        sockaddr_in group{};
        group.sin_family = AF_INET;
        group.sin_port = htons(aDISCOVERY_QUERY_PORT);
        inet_pton(AF_INET, aDISCOVERY_GROUP, &group.sin_addr);
        uint8_t query[aDISCOVERY_DATAGRAM] = {1};
        sent = sendto(fd, query, sizeof(query), 0, reinterpret_cast<sockaddr *>(&group), sizeof(group)) ==
               static_cast<ssize_t>(sizeof(query));
    }
    close(fd);
    return sent;
}

// A query on every IPv4 interface but loopback; on the default interface when the list cannot
// be had. True when at least one query went out.
bool sQueryAllInterfaces() {
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return sSendQuery(0);
    bool anySent = false;
    for (ifaddrs *entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        const uint32_t address = reinterpret_cast<const sockaddr_in *>(entry->ifa_addr)->sin_addr.s_addr;
        if (address == 0 || address == sLOOPBACK_NETWORK_ORDER)
            continue;
        if (sSendQuery(address))
            anySent = true;
    }
    freeifaddrs(list);
    return anySent;
}

} // namespace

uint8_t aDiscovery_EnumerateTCPIP(aDiscoveryModuleFoundProc callback, void *reference, uint32_t networkInterface) {
    if (callback == nullptr)
        return 0;
    if (networkInterface == sLOOPBACK_NETWORK_ORDER)
        networkInterface = aDISCOVERY_ALL_INTERFACES;

    // Listen before asking, so no early reply is missed.
    int listener = sOpenListener(networkInterface);
    if (listener < 0)
        return 0;
    const bool queried =
        networkInterface != aDISCOVERY_ALL_INTERFACES ? sSendQuery(networkInterface) : sQueryAllInterfaces();
    uint8_t counted = 0;
    bool goOn = queried;
    while (goOn) {
        // Cleared each time, so a short reply cannot inherit bytes of the one before.
        uint8_t reply[aDISCOVERY_DATAGRAM] = {};
        sockaddr_in sender{};
        socklen_t senderLength = sizeof(sender);
        const ssize_t n =
            recvfrom(listener, reply, sizeof(reply), 0, reinterpret_cast<sockaddr *>(&sender), &senderLength);
        if (n < 0)
            break; // normally the time-out after the last reply
        linkSpec spec;
        if (!aDiscovery_ParseReply(reply, static_cast<size_t>(n), sender.sin_addr.s_addr, &spec))
            continue;
        bool countIt = false;
        goOn = callback(&spec, &countIt, reference);
        if (countIt)
            ++counted;
    }
    close(listener);
    return counted;
}
