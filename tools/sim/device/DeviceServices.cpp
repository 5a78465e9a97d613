#include "DeviceServices.h"

#include <algorithm>
#include <cstdio>

namespace simdevice {

namespace {

// Commands and flags, spelled out here rather than taken from the library under test.
constexpr uint8_t kSystem = 3;
constexpr uint8_t kI2C = 8;
constexpr uint8_t kDebugEcho = 23;
constexpr uint8_t kInfo = 73;
constexpr uint8_t kStream = 93;
constexpr uint8_t kGet = 0x40;
constexpr uint8_t kSet = 0x80;
constexpr uint8_t kAck = 0xC0;
constexpr uint8_t kIndexMask = 0x1F;
constexpr uint8_t kIndexStream = 0x40;
constexpr uint8_t kIndexError = 0x80;
constexpr size_t kBytesPerPacket = 24;

// aErr codes the device answers with.
constexpr uint8_t kErrNotFound = 3;
constexpr uint8_t kErrPermission = 12;
constexpr uint8_t kErrShortCommand = 27;
constexpr uint8_t kErrIndexRange = 26;
constexpr uint8_t kErrInvalidEntity = 28;
constexpr uint8_t kErrInvalidOption = 29;

// Commands that do not follow the UEI layout.
bool _not_uei(uint8_t command) {
    switch (command) {
    case 0:
    case 1:
    case 2:
    case 4:
    case 8:
    case 9:
    case 23:
    case 24:
    case 73:
    case 94:
    case 95:
    case 173:
    case 175:
        return true;
    default:
        return false;
    }
}

void _put32(std::vector<uint8_t> &v, uint32_t x) {
    for (int shift = 24; shift >= 0; shift -= 8)
        v.push_back(static_cast<uint8_t>(x >> shift));
}

// Options by kind.
const std::set<uint8_t> kByteSettable = {2, 3, 4, 6, 15, 30, 38, 42};
const std::set<uint8_t> kCalls = {10, 11, 24, 37};
const std::set<uint8_t> kBytesOptions = {31, 32};

} // namespace

DeviceServices::DeviceServices(Identity identity, ServiceFaults faults)
    : identity_(std::move(identity)), faults_(faults) {
    byteSettings_ = {{3, 0},  {4, 0},  {6, 0},  {13, 0},  {14, identity_.moduleAddress}, {15, 0}, {16, 0},
                     {29, 1}, {30, 0}, {38, 0}, {42, 255}};
    powerConfig_ = {0, 0, 0, 1, 0, 0, 0, 2};
}

bool DeviceServices::accepts(uint8_t address) const {
    if (address == identity_.moduleAddress)
        return true;
    auto it = bus_.find(address);
    return routing_ && it != bus_.end();
}

void DeviceServices::attach(std::unique_ptr<DeviceServices> device) {
    const uint8_t address = device->moduleAddress();
    bus_[address] = std::move(device);
}

std::vector<std::string> DeviceServices::takeEvents() {
    std::vector<std::string> events;
    events.swap(events_);
    return events;
}

Packet DeviceServices::error(uint8_t command, uint8_t replyOption, uint8_t index, uint8_t code) const {
    return reply({command, replyOption, static_cast<uint8_t>((index & kIndexMask) | kIndexError), code});
}

void DeviceServices::handle(const Packet &p, uint64_t nowMs, std::vector<Packet> *out) {
    if (p.address != identity_.moduleAddress) {
        auto it = bus_.find(p.address);
        if (routing_ && it != bus_.end()) {
            events_.push_back("ROUTED " + std::to_string(p.address));
            it->second->handle(p, nowMs, out);
        }
        return;
    }
    if (p.data.empty())
        return;
    switch (p.data[0]) {
    case kSystem:
        system(p, nowMs, out);
        return;
    case kInfo:
        moduleInfo(p, out);
        return;
    case kI2C:
        i2c(p, out);
        return;
    case kStream:
        streamControl(p, nowMs, out);
        return;
    case kDebugEcho:
        out->push_back(reply(p.data));
        return;
    default:
        break;
    }
    if (p.data.size() >= 3 && !_not_uei(p.data[0])) {
        const uint8_t opt = p.data[1];
        if (opt & (kGet | kSet)) // requests only; answers and samples from a host are ignored
            out->push_back(error(p.data[0], (opt & kSet) ? static_cast<uint8_t>(opt | kAck) : opt & 0x3F, p.data[2],
                                 kErrInvalidEntity));
    }
}

void DeviceServices::sendBytes(uint8_t command, uint8_t option, uint8_t index, const std::vector<uint8_t> &bytes,
                               std::vector<Packet> *out) {
    std::vector<Packet> pieces;
    size_t sent = 0;
    uint8_t sequence = 0;
    do {
        const size_t k = std::min(kBytesPerPacket, bytes.size() - sent);
        const bool more = sent + k < bytes.size();
        std::vector<uint8_t> data{command, option, index};
        data.insert(data.end(), bytes.begin() + static_cast<long>(sent), bytes.begin() + static_cast<long>(sent + k));
        data.push_back(static_cast<uint8_t>((more ? 0x80 : 0) | (sequence & 0x7F)));
        pieces.push_back(reply(std::move(data)));
        sent += k;
        ++sequence;
        if (!more)
            break;
    } while (true);
    if (faults_.bytesTruncated)
        pieces.resize(1);
    if (faults_.bytesReversed)
        std::reverse(pieces.begin(), pieces.end());
    out->insert(out->end(), pieces.begin(), pieces.end());
}

void DeviceServices::system(const Packet &p, uint64_t, std::vector<Packet> *out) {
    if (p.data.size() < 3) {
        out->push_back(error(kSystem, 0, 0, kErrShortCommand));
        return;
    }
    const uint8_t opt = p.data[1];
    const uint8_t option = opt & 0x3F;
    const uint8_t index = p.data[2] & kIndexMask;
    const uint8_t kind = opt & kAck;
    if (kind != kGet && kind != kSet)
        return; // not a request
    const uint8_t replyOption = kind == kGet ? option : static_cast<uint8_t>(option | kAck);
    if (index != 0) {
        out->push_back(error(kSystem, replyOption, index, kErrIndexRange));
        return;
    }
    if (kind == kGet) {
        auto byteReply = [&](uint8_t v) { out->push_back(reply({kSystem, option, 0, v})); };
        auto intReply = [&](uint32_t v) {
            std::vector<uint8_t> data{kSystem, option, 0};
            _put32(data, v);
            out->push_back(reply(std::move(data)));
        };
        switch (option) {
        case 1:
            return byteReply(identity_.moduleAddress);
        case 2:
            return byteReply(router_);
        case 7:
            return intReply(identity_.version);
        case 8:
            return byteReply(identity_.model);
        case 9:
            return intReply(identity_.serialNumber);
        case 12:
            return intReply(kSimInputVoltage);
        case 20:
            return byteReply(routing_ ? 1 : 0);
        case 21:
            return intReply(150000);
        case 22:
            return intReply(kSimUptime);
        case 23:
            return intReply(40000);
        case 25:
            return intReply(12000000);
        case 26:
            return intReply(200000);
        case 27:
            return intReply(static_cast<uint32_t>(kSimTemperature));
        case 28:
            return intReply(20000);
        case 33:
            return intReply(10000000);
        case 34:
            return intReply(12000000);
        case 35:
            return intReply(0);
        case 39: {
            const uint8_t sub = p.data.size() > 3 ? p.data[3] : 0;
            if (sub > 3)
                return out->push_back(error(kSystem, option, index, kErrIndexRange));
            return intReply((identity_.serialNumber ^ kSimIdentifierBase) + sub);
        }
        case 40:
            return intReply(1);
        case 41:
            return intReply(0);
        case 43:
            return intReply(identity_.build);
        case 45:
            return intReply(kSimProtocolFeatures);
        case 31:
            return sendBytes(kSystem, option, 0, powerConfig_, out);
        case 32:
            return sendBytes(kSystem, option, 0, std::vector<uint8_t>(identity_.name.begin(), identity_.name.end()),
                             out);
        default:
            break;
        }
        auto it = byteSettings_.find(option);
        if (it != byteSettings_.end())
            return byteReply(it->second);
        return out->push_back(error(kSystem, option, index, kErrInvalidOption));
    }

    // Sets and calls.
    const uint8_t ack[] = {kSystem, replyOption, 0};
    if (kCalls.count(option)) {
        events_.push_back("CALL " + std::to_string(option));
        return out->push_back(reply({ack, ack + 3}));
    }
    if (kBytesOptions.count(option)) {
        if (p.data.size() < 4)
            return out->push_back(error(kSystem, replyOption, index, kErrShortCommand));
        const uint8_t sequence = p.data.back();
        if ((sequence & 0x7F) == 0)
            incoming_.clear();
        incoming_.insert(incoming_.end(), p.data.begin() + 3, p.data.end() - 1);
        if (sequence & 0x80)
            return; // more pieces follow; one acknowledgement after the last
        if (option == 32)
            identity_.name.assign(incoming_.begin(), incoming_.end());
        else
            powerConfig_ = incoming_;
        incoming_.clear();
        return out->push_back(reply({ack, ack + 3}));
    }
    if (option == 20 || option == 2 || kByteSettable.count(option)) {
        if (p.data.size() < 4)
            return out->push_back(error(kSystem, replyOption, index, kErrShortCommand));
        const uint8_t value = p.data[3];
        if (option == 20) {
            routing_ = value != 0;
            events_.push_back("ROUTE " + std::to_string(value));
        } else if (option == 2) {
            router_ = value;
        } else {
            byteSettings_[option] = value;
        }
        return out->push_back(reply({ack, ack + 3}));
    }
    if (option == 34) {
        if (p.data.size() < 7)
            return out->push_back(error(kSystem, replyOption, index, kErrShortCommand));
        return out->push_back(reply({ack, ack + 3}));
    }
    const bool known =
        option <= 45 && (option == 1 || option == 7 || option == 8 || option == 9 || (option >= 12 && option <= 45));
    out->push_back(error(kSystem, replyOption, index, known ? kErrPermission : kErrInvalidOption));
}

void DeviceServices::moduleInfo(const Packet &p, std::vector<Packet> *out) {
    const std::vector<uint8_t> &d = p.data;
    if (d.size() < 2)
        return;
    switch (d[1]) {
    case 0xFF: {
        if (d.size() != 2)
            return;
        std::vector<uint8_t> data{kInfo, 0xFF};
        _put32(data, identity_.build);
        out->push_back(reply(std::move(data)));
        return;
    }
    case 1: {
        if (d.size() != 6)
            return;
        // The system entity's options are all there; other entities are not.
        const uint8_t result = d[2] == kSystem && (d[3] & 0x3F) <= 45 ? 0 : kErrInvalidOption;
        out->push_back(reply({kInfo, 1, d[2], d[3], d[4], result}));
        return;
    }
    case 4:
        if (d.size() == 3)
            out->push_back(reply({kInfo, 4, d[2], static_cast<uint8_t>(d[2] == kSystem || d[2] == kI2C ? 1 : 0)}));
        return;
    case 5:
    case 6:
        if (d.size() == 4)
            out->push_back(reply({kInfo, d[1], d[2], d[3], 0}));
        return;
    default:
        return;
    }
}

void DeviceServices::i2c(const Packet &p, std::vector<Packet> *out) {
    const std::vector<uint8_t> &d = p.data;
    if (d.size() < 4)
        return;
    const uint8_t index = d[1], address = d[2];
    auto status = [&](uint8_t code) { return static_cast<uint8_t>(code ? (0x80 | code) : 0); };
    if (address == 1) { // pull-up
        out->push_back(reply({kI2C, index, 1, 0, status(index == 0 ? 0 : kErrIndexRange)}));
        return;
    }
    const bool present = bus_.count(static_cast<uint8_t>(address & 0xFE)) != 0;
    uint8_t code = index != 0 ? kErrIndexRange : present ? 0 : kErrNotFound;
    if ((address & 1) == 0) {
        char text[48];
        std::snprintf(text, sizeof text, "I2C-WRITE %02X %s", address, code ? "absent" : "ok");
        events_.push_back(text);
        out->push_back(reply({kI2C, index, address, 0, status(code)}));
        return;
    }
    const uint8_t n = d[3] > 23 ? 23 : d[3];
    std::vector<uint8_t> data{kI2C, index, address, static_cast<uint8_t>(code ? 0 : n), status(code)};
    if (!code)
        data.insert(data.end(), n, 0);
    out->push_back(reply(std::move(data)));
}

void DeviceServices::streamControl(const Packet &p, uint64_t nowMs, std::vector<Packet> *out) {
    const std::vector<uint8_t> &d = p.data;
    if (d.size() < 3)
        return;
    const uint8_t opt = d[1];
    if (opt == 0x41) {
        out->push_back(reply({kStream, 0x01, 0, static_cast<uint8_t>(streaming_.empty() ? 0 : 1)}));
        return;
    }
    if (opt != 0x81 && opt != 0x82) {
        if (opt & (kGet | kSet))
            out->push_back(
                error(kStream, (opt & kSet) ? static_cast<uint8_t>(opt | kAck) : opt & 0x3F, d[2], kErrInvalidOption));
        return;
    }
    const uint8_t ackOption = static_cast<uint8_t>(opt | kAck);
    if (d.size() != 7) {
        out->push_back(error(kStream, ackOption, 0, kErrShortCommand));
        return;
    }
    const uint32_t key = uint32_t(d[3]) << 24 | uint32_t(d[4]) << 16 | uint32_t(d[5]) << 8 | d[6];
    out->push_back(reply({kStream, ackOption, 0}));
    if (opt == 0x81) {
        streaming_.insert(key);
        events_.push_back("STREAM-ON");
        sendSamples(key, nowMs, out);
    } else {
        streaming_.erase(key);
        events_.push_back("STREAM-OFF");
    }
}

// One sample of each streaming option the key covers, at once: [command, option,
// index | 0x40, type, (sub-index), timestamp high, timestamp low, value, sequence 0].
void DeviceServices::sendSamples(uint32_t key, uint64_t nowMs, std::vector<Packet> *out) {
    const uint8_t command = static_cast<uint8_t>(key >> 16), option = static_cast<uint8_t>(key >> 8),
                  index = static_cast<uint8_t>(key);
    if ((command != kSystem && command != 0xFF) || (index != 0 && index != 0xFF))
        return;
    auto sample = [&](uint8_t opt, uint8_t type, int sub, uint32_t value, int width) {
        if (option != 0xFF && option != opt)
            return;
        std::vector<uint8_t> data{kSystem, opt, kIndexStream, type};
        if (sub >= 0)
            data.push_back(static_cast<uint8_t>(sub));
        _put32(data, static_cast<uint32_t>(nowMs >> 32));
        _put32(data, static_cast<uint32_t>(nowMs));
        for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
            data.push_back(static_cast<uint8_t>(value >> shift));
        data.push_back(0);
        out->push_back(reply(std::move(data)));
    };
    sample(4, 1, -1, byteSettings_[4], 1);
    sample(22, 3, -1, kSimUptime, 4);
    sample(27, 3, -1, static_cast<uint32_t>(kSimTemperature), 4);
    for (int sub = 0; sub < 4; ++sub)
        sample(39, 7, sub, (identity_.serialNumber ^ kSimIdentifierBase) + static_cast<uint32_t>(sub), 4);
}

} // namespace simdevice
