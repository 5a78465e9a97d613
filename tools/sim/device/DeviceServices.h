#pragma once
// The virtual device's application layer, above the link level of DeviceModel: the system
// entity, module information (command 73), stream samples, the I2C entity and a router mode
// in which other virtual devices sit on the I2C bus and, while routing is on, their traffic is
// carried on this device's link. Packets in, reply packets out; no I/O, time given by the caller.
// Like DeviceModel it writes its side of each format itself.
#include "DeviceModel.h"

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace simdevice {

// Fixed readings the device reports, so tests can check them.
constexpr uint32_t kSimInputVoltage = 5000000; // option 12, microvolts
constexpr uint32_t kSimUptime = 3600;          // option 22, and its stream sample
constexpr int32_t kSimTemperature = 25500;     // option 27, and its stream sample
constexpr uint32_t kSimProtocolFeatures = 0x80000001;
// Option 39 word k (sub-index k) is serial XOR kSimIdentifierBase + k.
constexpr uint32_t kSimIdentifierBase = 0xC0DE0000;

struct ServiceFaults {
    // Multi-packet byte values: send the pieces last to first, or stop after the first piece.
    bool bytesReversed = false;
    bool bytesTruncated = false;
};

class DeviceServices {
  public:
    explicit DeviceServices(Identity identity, ServiceFaults faults = {});

    // Whether this device (or, while routing, one on its bus) takes packets for `address`.
    bool accepts(uint8_t address) const;
    // Handles one packet for an accepted address; reply packets are appended to `out`.
    void handle(const Packet &p, uint64_t nowMs, std::vector<Packet> *out);

    // A device on the I2C bus at its 8-bit bus address (its module address too).
    void attach(std::unique_ptr<DeviceServices> device);
    bool routing() const { return routing_; }
    uint8_t moduleAddress() const { return identity_.moduleAddress; }

    // Events for the record ("ROUTE 1", "I2C-WRITE 08 absent").
    std::vector<std::string> takeEvents();

  private:
    void system(const Packet &p, uint64_t nowMs, std::vector<Packet> *out);
    void moduleInfo(const Packet &p, std::vector<Packet> *out);
    void i2c(const Packet &p, std::vector<Packet> *out);
    void streamControl(const Packet &p, uint64_t nowMs, std::vector<Packet> *out);
    void sendSamples(uint32_t key, uint64_t nowMs, std::vector<Packet> *out);
    void sendBytes(uint8_t command, uint8_t option, uint8_t index, const std::vector<uint8_t> &bytes,
                   std::vector<Packet> *out);
    Packet reply(std::vector<uint8_t> data) const { return Packet{identity_.moduleAddress, std::move(data)}; }
    Packet error(uint8_t command, uint8_t replyOption, uint8_t index, uint8_t code) const;

    Identity identity_;
    ServiceFaults faults_;
    std::map<uint8_t, std::unique_ptr<DeviceServices>> bus_; // by bus address
    bool routing_ = false;
    uint8_t router_ = 0;
    std::map<uint8_t, uint8_t> byteSettings_; // settable 8-bit options
    std::vector<uint8_t> powerConfig_;        // option 31, bytes
    std::vector<uint8_t> incoming_;           // a bytes set being received
    std::set<uint32_t> streaming_;            // enabled stream keys (low 32 bits)
    std::vector<std::string> events_;
};

} // namespace simdevice
