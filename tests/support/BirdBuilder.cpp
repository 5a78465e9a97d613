#include "BirdBuilder.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <zlib.h>

namespace {

void _put_be32(BirdBuilder::Bytes &out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 24));
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void _put_field(BirdBuilder::Bytes &out, const std::string &text) {
    for (size_t i = 0; i < 16; ++i)
        out.push_back(static_cast<uint8_t>(i < text.size() ? text[i] : ' '));
}

BirdBuilder::Bytes _with_address(uint32_t address, const BirdBuilder::Bytes &payload) {
    BirdBuilder::Bytes data;
    data.reserve(payload.size() + 4);
    _put_be32(data, address);
    data.insert(data.end(), payload.begin(), payload.end());
    return data;
}

} // namespace

BirdBuilder BirdBuilder::minimalValid() {
    BirdBuilder b;
    b.addInfo(1, "1.0.0", 0, "TEST");
    return b;
}

BirdBuilder &BirdBuilder::addBlock(uint8_t type, uint8_t flags, Bytes data) {
    blocks_.push_back(Block{static_cast<uint8_t>((type & 0x1F) | (flags << 5)), std::move(data), std::nullopt});
    return *this;
}

BirdBuilder &BirdBuilder::addLoader(uint32_t address, const Bytes &payload, uint8_t flags) {
    return addBlock(0, flags, _with_address(address, payload));
}

BirdBuilder &BirdBuilder::addFirmware(uint32_t address, const Bytes &payload, uint8_t flags) {
    return addBlock(1, flags, _with_address(address, payload));
}

BirdBuilder &BirdBuilder::addEncodedFirmware(uint32_t address, const Bytes &plain, const uint32_t fingerprint[4]) {
    return addFirmware(address, encodePayload(plain, fingerprint));
}

BirdBuilder &BirdBuilder::addSerialOffsets(uint32_t serialOffset, uint32_t descriptorOffset) {
    Bytes data;
    _put_be32(data, serialOffset);
    _put_be32(data, descriptorOffset);
    return addBlock(2, 0, std::move(data));
}

BirdBuilder &BirdBuilder::addLoaderStart(uint32_t address) {
    Bytes data;
    _put_be32(data, address);
    return addBlock(5, 0, std::move(data));
}

BirdBuilder &BirdBuilder::addInfo(uint64_t build, const std::string &version, uint32_t serial,
                                  const std::string &model) {
    char serialText[9];
    snprintf(serialText, sizeof serialText, "%08X", serial);
    return addInfoText(std::to_string(build), version, serialText, model);
}

BirdBuilder &BirdBuilder::addInfoText(const std::string &build, const std::string &version, const std::string &serial,
                                      const std::string &model) {
    Bytes data;
    _put_field(data, build);
    _put_field(data, version);
    _put_field(data, serial);
    _put_field(data, model);
    return addBlock(4, 0, std::move(data));
}

BirdBuilder &BirdBuilder::setSignature(const std::string &four) {
    signature_ = four;
    return *this;
}

BirdBuilder &BirdBuilder::setVersion(uint8_t major, uint8_t minor) {
    major_ = major;
    minor_ = minor;
    return *this;
}

BirdBuilder &BirdBuilder::setReportedCount(uint32_t count) {
    reportedCount_ = count;
    return *this;
}

BirdBuilder &BirdBuilder::setBlockLength(size_t index, uint32_t length) {
    blocks_.at(index).lengthField = length;
    return *this;
}

BirdBuilder &BirdBuilder::setChecksum(uint32_t checksum) {
    checksum_ = checksum;
    return *this;
}

BirdBuilder &BirdBuilder::omitChecksum() {
    omitChecksum_ = true;
    return *this;
}

BirdBuilder &BirdBuilder::appendToStream(const Bytes &extra) {
    appended_.insert(appended_.end(), extra.begin(), extra.end());
    return *this;
}

BirdBuilder &BirdBuilder::truncateStream(size_t bytes) {
    truncateStream_ = bytes;
    return *this;
}

BirdBuilder &BirdBuilder::truncateCompressed(size_t bytes) {
    truncateCompressed_ = bytes;
    return *this;
}

BirdBuilder &BirdBuilder::setCompressed(const Bytes &compressed) {
    compressedOverride_ = compressed;
    return *this;
}

BirdBuilder &BirdBuilder::setCompressionLevel(int level) {
    level_ = level;
    return *this;
}

BirdBuilder::Bytes BirdBuilder::stream() const {
    Bytes body;
    for (const Block &block : blocks_) {
        body.push_back(block.typeByte);
        _put_be32(body, block.lengthField.value_or(static_cast<uint32_t>(block.data.size())));
        body.insert(body.end(), block.data.begin(), block.data.end());
    }
    Bytes out;
    out.reserve(body.size() + 8 + appended_.size());
    _put_be32(out, reportedCount_.value_or(static_cast<uint32_t>(blocks_.size())));
    out.insert(out.end(), body.begin(), body.end());
    if (!omitChecksum_)
        _put_be32(out, checksum_.value_or(streamChecksum(body)));
    out.insert(out.end(), appended_.begin(), appended_.end());
    out.resize(out.size() - std::min(truncateStream_, out.size()));
    return out;
}

BirdBuilder::Bytes BirdBuilder::compressed() const {
    if (compressedOverride_)
        return *compressedOverride_;
    Bytes plain = stream();
    uLongf length = compressBound(static_cast<uLong>(plain.size()));
    Bytes out(length);
    if (compress2(out.data(), &length, plain.data(), static_cast<uLong>(plain.size()), level_) != Z_OK)
        throw std::runtime_error("BirdBuilder: compress failed");
    out.resize(length - std::min<size_t>(truncateCompressed_, length));
    return out;
}

BirdBuilder::Bytes BirdBuilder::bytes() const {
    Bytes out(signature_.begin(), signature_.end());
    out.push_back(major_);
    out.push_back(minor_);
    Bytes z = compressed();
    out.insert(out.end(), z.begin(), z.end());
    return out;
}

bool BirdBuilder::writeTo(const std::string &path) const {
    Bytes data = bytes();
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
}

std::array<uint8_t, 16> BirdBuilder::fingerprintKey(const uint32_t fingerprint[4]) {
    std::array<uint8_t, 16> key{};
    for (size_t i = 0; i < 16; ++i)
        key[i] = static_cast<uint8_t>(fingerprint[i / 4] >> (8 * (3 - i % 4)));
    return key;
}

BirdBuilder::Bytes BirdBuilder::encodePayload(const Bytes &plain, const uint32_t fingerprint[4]) {
    std::array<uint8_t, 16> key = fingerprintKey(fingerprint);
    Bytes out(plain.size());
    uint8_t previous = 0;
    for (size_t i = 0; i < plain.size(); ++i) {
        out[i] = static_cast<uint8_t>(plain[i] ^ key[i % 16] ^ previous);
        previous = plain[i];
    }
    return out;
}

uint32_t BirdBuilder::streamChecksum(const Bytes &blockBytes) {
    return static_cast<uint32_t>(crc32(0L, blockBytes.data(), static_cast<uInt>(blockBytes.size())));
}
