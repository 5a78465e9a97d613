#pragma once
// The device side of TCP/IP discovery: a device that hears the 16-byte query on the multicast
// group answers the querying host with its module address, TCP port, serial number and model.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace sim {

struct DiscoveryIdentity {
    uint8_t module = 2;
    uint16_t tcpPort = 0;
    uint32_t serial = 0;
    uint8_t model = 0;
    size_t replyLength = 16; // shorter replies imitate devices that leave out the model byte
};

// True for a well-formed query: 16 bytes, byte 0 = 1.
bool isDiscoveryQuery(const uint8_t *bytes, size_t n);

// The reply datagram, written here from the device's side: [0, module, port LE, serial LE,
// 0 x4, model, 0 x3], cut to identity.replyLength bytes.
std::vector<uint8_t> discoveryReply(const DiscoveryIdentity &identity);

// Listens on the query port, joined to the group on every IPv4 interface but loopback (the
// default interface when there is none), and answers each query once, to port 9889 of the
// sender. Runs on a thread of its own from start until stop or destruction.
class DiscoveryResponder {
  public:
    DiscoveryResponder() = default;
    ~DiscoveryResponder();
    DiscoveryResponder(const DiscoveryResponder &) = delete;
    DiscoveryResponder &operator=(const DiscoveryResponder &) = delete;

    // False with a reason in *error when the socket or the group membership fails.
    bool start(const DiscoveryIdentity &identity, std::string *error);
    void stop();
    // Queries answered so far.
    unsigned answered() const { return answered_.load(); }

  private:
    void run();

    DiscoveryIdentity identity_;
    int socket_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<unsigned> answered_{0};
};

} // namespace sim
