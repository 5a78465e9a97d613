#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Writes BIRD images for tests and simulators, so no binary image is checked in.
// It writes the format on its own (big-endian container, zlib compress, XOR-chain
// encoding) and shares no code with the reader. Free of any test framework.
//
//   BirdBuilder b;
//   b.addInfo(1234, "2.10.3", 0x40F5849A, "AX-HUB").addFirmware(0x1000, payload);
//   b.writeTo(dir + "/1234.bird");
class BirdBuilder {
  public:
    using Bytes = std::vector<uint8_t>;

    struct Block {
        uint8_t typeByte;                    // type in the low 5 bits, flags in the top 3
        Bytes data;                          // the whole L bytes (address first for types 0 and 1)
        std::optional<uint32_t> lengthField; // written instead of data.size() when set
    };

    // One information block (build 1, version 1.0.0, serial 00000000, model "TEST") and nothing else.
    static BirdBuilder minimalValid();

    BirdBuilder &addBlock(uint8_t type, uint8_t flags, Bytes data);
    BirdBuilder &addLoader(uint32_t address, const Bytes &payload, uint8_t flags = 0);
    BirdBuilder &addFirmware(uint32_t address, const Bytes &payload, uint8_t flags = 0);
    // A firmware block whose payload is XOR-chained for the chip with this fingerprint.
    BirdBuilder &addEncodedFirmware(uint32_t address, const Bytes &plain, const uint32_t fingerprint[4]);
    BirdBuilder &addSerialOffsets(uint32_t serialOffset, uint32_t descriptorOffset);
    BirdBuilder &addLoaderStart(uint32_t address);
    // Four blank-padded 16-character fields: build (decimal), version, serial ("%08X"), model.
    BirdBuilder &addInfo(uint64_t build, const std::string &version, uint32_t serial, const std::string &model);
    // The same with each field's text given as is (cut or padded to 16).
    BirdBuilder &addInfoText(const std::string &build, const std::string &version, const std::string &serial,
                             const std::string &model);

    // Faults and oddities for reader tests.
    BirdBuilder &setSignature(const std::string &four);
    BirdBuilder &setVersion(uint8_t major, uint8_t minor);
    BirdBuilder &setReportedCount(uint32_t count);              // N in the stream, instead of the real count
    BirdBuilder &setBlockLength(size_t index, uint32_t length); // L in a block header, data unchanged
    BirdBuilder &setChecksum(uint32_t checksum);
    BirdBuilder &omitChecksum();
    BirdBuilder &appendToStream(const Bytes &extra);     // after the checksum
    BirdBuilder &truncateStream(size_t bytes);           // cut from the end before compressing
    BirdBuilder &truncateCompressed(size_t bytes);       // cut from the end of the compressed data
    BirdBuilder &setCompressed(const Bytes &compressed); // use these bytes as the zlib part
    BirdBuilder &setCompressionLevel(int level);

    std::vector<Block> &blocks() { return blocks_; }

    Bytes stream() const;     // the block stream before compression
    Bytes compressed() const; // what follows the 6-byte header
    Bytes bytes() const;      // the whole file
    std::string str() const {
        Bytes b = bytes();
        return std::string(b.begin(), b.end());
    }
    bool writeTo(const std::string &path) const;

    // The 16-byte key: the four words in order, each most significant byte first.
    static std::array<uint8_t, 16> fingerprintKey(const uint32_t fingerprint[4]);
    // encoded = plain ^ key[i % 16] ^ previous plain byte (0 before the first).
    static Bytes encodePayload(const Bytes &plain, const uint32_t fingerprint[4]);
    // A stored checksum; the reader only logs it, so any 32-bit digest of the blocks will do.
    static uint32_t streamChecksum(const Bytes &blockBytes);

  private:
    std::vector<Block> blocks_;
    std::string signature_ = "bird";
    uint8_t major_ = 1, minor_ = 1;
    std::optional<uint32_t> reportedCount_;
    std::optional<uint32_t> checksum_;
    bool omitChecksum_ = false;
    Bytes appended_;
    size_t truncateStream_ = 0;
    size_t truncateCompressed_ = 0;
    std::optional<Bytes> compressedOverride_;
    int level_ = 6;
};
