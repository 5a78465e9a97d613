#include "DeviceModel.h"

#include "DeviceServices.h"

#include <cstdio>

namespace simdevice {

namespace {
constexpr uint8_t kWhoAreYou = 0xAD;
constexpr uint8_t kForceRoute = 0xAF;
constexpr uint8_t kHeartbeat = 0x00;
constexpr uint8_t kDebugEcho = 23;
constexpr size_t kMaxData = 28;
constexpr size_t kMaxFrameBody = 31;

std::string hexBytes(const std::vector<uint8_t> &bytes) {
    std::string s;
    char b[4];
    for (uint8_t v : bytes) {
        std::snprintf(b, sizeof b, " %02X", v);
        s += b;
    }
    return s;
}
} // namespace

DeviceModel::DeviceModel(Options options) : options_(std::move(options)) {}

// Bit by bit, reflected polynomial 0x8C: independent of the host's table.
uint8_t DeviceModel::crc8(const uint8_t *bytes, size_t length) {
    uint8_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : static_cast<uint8_t>(crc >> 1);
    }
    return crc;
}

std::vector<uint8_t> DeviceModel::cobsEncode(const std::vector<uint8_t> &raw) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> block;
    auto flush = [&] {
        out.push_back(static_cast<uint8_t>(block.size() + 1));
        out.insert(out.end(), block.begin(), block.end());
        block.clear();
    };
    for (uint8_t b : raw) {
        if (b == 0) {
            flush();
        } else {
            block.push_back(b);
            if (block.size() == 254)
                flush();
        }
    }
    flush();
    return out;
}

bool DeviceModel::cobsDecode(const std::vector<uint8_t> &body, std::vector<uint8_t> *raw) {
    raw->clear();
    size_t i = 0;
    while (i < body.size()) {
        const uint8_t code = body[i++];
        if (code == 0 || i + code - 1 > body.size())
            return false;
        raw->insert(raw->end(), body.begin() + static_cast<long>(i), body.begin() + static_cast<long>(i + code - 1));
        i += code - 1;
        if (code != 0xFF && i < body.size())
            raw->push_back(0);
    }
    return true;
}

void DeviceModel::connected(uint64_t nowMs) {
    partial_.clear();
    frame_.clear();
    heartbeatsOutstanding_.clear();
    drop_ = false;
    for (size_t i = 0; i < options_.faults.garbageOnConnect; ++i)
        out_.push_back(static_cast<uint8_t>(0x01 + 2 * (i % 64))); // odd: never a module address
    nextHeartbeatMs_ = options_.heartbeatMs ? nowMs + options_.heartbeatMs : UINT64_MAX;
}

void DeviceModel::receive(const uint8_t *bytes, size_t length, uint64_t nowMs) {
    nowMs_ = nowMs;
    tick(nowMs);
    for (size_t i = 0; i < length; ++i)
        onByte(bytes[i]);
}

void DeviceModel::onByte(uint8_t byte) {
    if (options_.framing == Framing::Cobs) {
        if (byte != 0) {
            if (frame_.size() < kMaxFrameBody)
                frame_.push_back(byte);
            return;
        }
        std::vector<uint8_t> raw;
        const bool decoded = !frame_.empty() && cobsDecode(frame_, &raw);
        const bool hadFrame = !frame_.empty();
        frame_.clear();
        if (!hadFrame)
            return;
        if (!decoded || raw.size() < 3 || raw[1] + 3u != raw.size() || crc8(raw.data(), raw.size() - 1) != raw.back()) {
            record("BADFRAME");
            return;
        }
        onPacket(Packet{raw[0], std::vector<uint8_t>(raw.begin() + 2, raw.end() - 1)});
        return;
    }
    partial_.push_back(byte);
    if (partial_.size() == 2 && partial_[1] > kMaxData) {
        record("BADLENGTH");
        partial_.erase(partial_.begin()); // step one byte on and try again
        return;
    }
    if (partial_.size() >= 2 && partial_.size() == partial_[1] + 2u) {
        Packet p{partial_[0], std::vector<uint8_t>(partial_.begin() + 2, partial_.end())};
        partial_.clear();
        onPacket(p);
    }
}

void DeviceModel::onPacket(const Packet &p) {
    ++packetsReceived_;
    const Identity &id = options_.identity;
    if (p.address == kWhoAreYou && p.data.empty()) {
        record("PROBE");
        if (!options_.faults.silent) {
            send(options_.faults.oddAddress ? static_cast<uint8_t>(id.moduleAddress | 1) : id.moduleAddress, {});
            ++probesAnswered_;
        }
    } else if (p.address == kForceRoute && p.data.size() == 1) {
        forceRoutes_.push_back(p.data[0]);
        record("FORCEROUTE " + std::to_string(p.data[0]));
    } else if (p.address == id.moduleAddress && p.data.size() == 2 && p.data[0] == kHeartbeat) {
        const bool good = !heartbeatsOutstanding_.empty() && p.data[1] == heartbeatsOutstanding_.front() + 2;
        if (!heartbeatsOutstanding_.empty())
            heartbeatsOutstanding_.pop_front();
        good ? ++heartbeatAnswersGood_ : ++heartbeatAnswersBad_;
        record("HEARTBEAT-ANSWER " + std::to_string(p.data[1]) + (good ? " ok" : " bad"));
    } else if (p.address == id.moduleAddress && !p.data.empty() && p.data[0] == kDebugEcho) {
        send(id.moduleAddress, p.data);
    } else {
        std::vector<uint8_t> all{p.address, static_cast<uint8_t>(p.data.size())};
        all.insert(all.end(), p.data.begin(), p.data.end());
        record("PACKET" + hexBytes(all));
        if (services_ != nullptr && services_->accepts(p.address)) {
            std::vector<Packet> replies;
            services_->handle(p, nowMs_, &replies);
            for (const Packet &r : replies)
                send(r.address, r.data);
            for (std::string &event : services_->takeEvents())
                record(std::move(event));
        }
    }
    if (options_.faults.dropAfterPackets >= 0 &&
        packetsReceived_ == static_cast<size_t>(options_.faults.dropAfterPackets))
        drop_ = true;
}

void DeviceModel::tick(uint64_t nowMs) {
    while (nowMs >= nextHeartbeatMs_) {
        send(options_.identity.moduleAddress, {kHeartbeat, heartbeatValue_});
        heartbeatsOutstanding_.push_back(heartbeatValue_);
        if (heartbeatsOutstanding_.size() > 16)
            heartbeatsOutstanding_.pop_front();
        ++heartbeatsSent_;
        heartbeatValue_ ^= 1; // alternate "up" and "down"
        nextHeartbeatMs_ += options_.heartbeatMs;
    }
}

uint64_t DeviceModel::nextDueMs() const { return nextHeartbeatMs_; }

void DeviceModel::send(uint8_t address, const std::vector<uint8_t> &data) {
    std::vector<uint8_t> raw{address, static_cast<uint8_t>(data.size())};
    raw.insert(raw.end(), data.begin(), data.end());
    if (options_.framing == Framing::Raw) {
        out_.insert(out_.end(), raw.begin(), raw.end());
        return;
    }
    raw.push_back(crc8(raw.data(), raw.size()));
    const std::vector<uint8_t> body = cobsEncode(raw);
    out_.insert(out_.end(), body.begin(), body.end());
    out_.push_back(0);
}

void DeviceModel::record(std::string text) { records_.push_back(Record{std::move(text)}); }

std::vector<uint8_t> DeviceModel::takeOutput() {
    std::vector<uint8_t> out;
    out.swap(out_);
    return out;
}

std::vector<Record> DeviceModel::takeRecords() {
    std::vector<Record> r;
    r.swap(records_);
    return r;
}

bool DeviceModel::takeDropRequest() {
    const bool d = drop_;
    drop_ = false;
    return d;
}

} // namespace simdevice
