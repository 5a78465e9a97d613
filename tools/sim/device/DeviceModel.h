#pragma once
// The virtual Axolon device as a state machine: bytes from the host in, bytes
// to the host out, time given by the caller, no I/O. It writes its side of each
// wire format itself (packet parsing, COBS, CRC-8), never through the library
// under test, so one misreading cannot hide on both sides.
//
// Now: the link level (who-are-you answers, force-route packets, heartbeats)
// and the debug echo. Later: system entity, router, loader.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace simdevice {

class DeviceServices;

struct Identity {
    uint32_t serialNumber = 0x40F5849A;
    uint8_t moduleAddress = 4;
    uint8_t model = 13;
    uint32_t version = 0x2F020A05; // packed 2.10.5
    uint32_t build = 1000;
    std::string name = "sim";
};

enum class Framing {
    Raw,  // TCP: the packets' plain bytes
    Cobs, // serial: COBS(address, length, data, CRC-8) then 0x00
};

struct Faults {
    size_t garbageOnConnect = 0; // odd bytes sent as a host connects
    bool oddAddress = false;     // answer probes from address + 1
    bool silent = false;         // answer no probe at all
    int dropAfterPackets = -1;   // ask to drop the connection after this many packets
};

struct Options {
    Identity identity;
    Framing framing = Framing::Raw;
    Faults faults;
    uint32_t heartbeatMs = 0; // 0: no heartbeats
};

struct Packet {
    uint8_t address = 0;
    std::vector<uint8_t> data;
};

// One event the host caused, for tests and the --record file.
struct Record {
    std::string text; // "FORCEROUTE 1", "PROBE", "HEARTBEAT-ANSWER 0 ok", "PACKET 04 17 01 02"
};

class DeviceModel {
  public:
    explicit DeviceModel(Options options);

    // A host connected (resets the parsers; queues the connect garbage).
    void connected(uint64_t nowMs);
    void receive(const uint8_t *bytes, size_t length, uint64_t nowMs);
    // Runs the timers up to `nowMs`.
    void tick(uint64_t nowMs);
    // When tick() is next due; UINT64_MAX when never.
    uint64_t nextDueMs() const;

    // Packets that are not link control go to `services` (system entity, router...), if set.
    void setServices(DeviceServices *services) { services_ = services; }

    // Bytes for the host, in order; taken once.
    std::vector<uint8_t> takeOutput();
    // Events since the last call.
    std::vector<Record> takeRecords();
    // The drop fault fired: the connection should be closed now (once).
    bool takeDropRequest();

    // Counters for in-process tests.
    size_t probesAnswered() const { return probesAnswered_; }
    size_t heartbeatsSent() const { return heartbeatsSent_; }
    size_t heartbeatAnswersGood() const { return heartbeatAnswersGood_; }
    size_t heartbeatAnswersBad() const { return heartbeatAnswersBad_; }
    const std::vector<uint8_t> &forceRoutes() const { return forceRoutes_; }
    size_t packetsReceived() const { return packetsReceived_; }

    // The device's side of the packetized serial framing.
    static uint8_t crc8(const uint8_t *bytes, size_t length);
    static std::vector<uint8_t> cobsEncode(const std::vector<uint8_t> &raw);
    static bool cobsDecode(const std::vector<uint8_t> &body, std::vector<uint8_t> *raw);

  private:
    void onByte(uint8_t byte);
    void onPacket(const Packet &p);
    void send(uint8_t address, const std::vector<uint8_t> &data);
    void record(std::string text);

    Options options_;
    std::vector<uint8_t> out_;
    std::vector<Record> records_;
    // Raw framing parser.
    std::vector<uint8_t> partial_;
    // COBS framing gatherer.
    std::vector<uint8_t> frame_;
    bool drop_ = false;
    uint64_t nextHeartbeatMs_ = UINT64_MAX;
    uint8_t heartbeatValue_ = 0;
    std::deque<uint8_t> heartbeatsOutstanding_;
    size_t probesAnswered_ = 0;
    size_t heartbeatsSent_ = 0;
    size_t heartbeatAnswersGood_ = 0;
    size_t heartbeatAnswersBad_ = 0;
    size_t packetsReceived_ = 0;
    std::vector<uint8_t> forceRoutes_;
    DeviceServices *services_ = nullptr;
    uint64_t nowMs_ = 0;
};

} // namespace simdevice
