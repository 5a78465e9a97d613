#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

// "bird" read as a big-endian number; the first four bytes of every image.
constexpr uint32_t BIRD_FILE_SIGNATURE = 0x62697264;
constexpr uint32_t BIRD_FILE_VERSION = 0x0101; // what we write; the reader does not compare
constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;

// One block of a loaded image. data points into the owning BirdFile's stream and is
// valid while that stream lives (moving the BirdFile keeps it valid).
struct BirdBlock {
    uint8_t type;
    uint8_t flags;       // top 3 bits of the type byte, shifted down; passed on unchanged
    uint32_t length;     // L, the whole data length (address bytes included for types 0 and 1)
    uint32_t address;    // load address for types 0 and 1, else 0
    const uint8_t *data; // the L bytes
};

// A BIRD image loaded into memory: header, zlib stream, counted list of typed blocks.
// Owns its decompressed stream; movable, not copyable. All logging is under DEBUG_BirdFile.
class BirdFile {
  public:
    enum BLOCK_TYPE : uint8_t {
        BLOCK_LOADER = 0,
        BLOCK_FIRMWARE = 1,
        BLOCK_SERIAL_OFFSETS = 2,
        BLOCK_INFO = 4,
        BLOCK_LOADER_START = 5,
    };

    BirdFile() = default; // no image: no blocks, block count 0
    // Throws std::runtime_error("Failed to load bird data") when Load fails.
    explicit BirdFile(const char *path);
    // Moves the stream and its blocks together; the source is left empty.
    BirdFile(BirdFile &&other) noexcept;
    BirdFile &operator=(BirdFile &&other) noexcept;
    BirdFile(const BirdFile &) = delete;
    BirdFile &operator=(const BirdFile &) = delete;
    ~BirdFile() = default;

    // Reads, inflates and scans the file named at construction. Block count or length
    // mismatches inside the stream are logged only; the image keeps the blocks parsed.
    bool Load();
    // Same, from an image already in memory (the path stays as it was).
    bool LoadBuffer(const uint8_t *bytes, size_t size);

    // Header check only: signature "bird" and two non-zero version bytes.
    static bool VerifyFile(const char *path);

    // The most a stream of compressedLength bytes may inflate to: 8 times its size,
    // clamped to what a 32-bit data size can hold.
    static uint32_t InflateLimit(uint64_t compressedLength);

    std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;

    // Information fields from the first information block; 0 or "" without one.
    uint64_t GetBuild() const; // up to 15 decimal digits, so wider than 32 bits
    std::string GetVersion() const;
    uint32_t GetSerialNumber() const;
    bool ValidateModel(const char *model) const;
    bool ValidateSerialNumber(unsigned serial) const { return serial == GetSerialNumber(); }

    // Personalises a generic image in memory: the serial word (little-endian) and the
    // descriptor text. True when a firmware block exists and the serial number offset is
    // non-zero, or when a descriptor was written. Offsets outside every block are skipped.
    bool ReplaceSerialNumber(uint32_t serial);
    // Undoes the chip-bound XOR chain over every firmware payload. Apply once per load.
    bool DecodeFirmwareBlocks(const uint32_t fingerprint[4]);

    const std::string &GetPath() const { return path_; }
    uint32_t GetSignature() const { return signature_; }
    uint32_t GetFormatVersion() const { return formatVersion_; }
    uint32_t GetChecksum() const { return checksum_; }
    uint32_t GetBlockCount() const { return blockCount_; }
    const std::vector<BirdBlock> &GetBlocks() const { return blocks_; }
    bool HasSerialOffsets() const { return hasSerialOffsets_; }
    uint32_t GetSerialNumberOffset() const { return serialNumberOffset_; }
    uint32_t GetSerialDescriptorOffset() const { return serialDescriptorOffset_; }
    const uint8_t *GetData() const { return data_.get(); }
    uint32_t GetDataSize() const { return dataSize_; }

  private:
    struct FreeDeleter {
        void operator()(uint8_t *p) const { std::free(p); }
    };

    void reset() noexcept;
    bool inflateStream(const uint8_t *compressed, size_t length);
    bool scanBlocks();
    void readSerialOffsets();
    const BirdBlock *infoBlock() const;
    std::string infoField(unsigned index) const;
    uint8_t *writable(const BirdBlock &block) { return data_.get() + (block.data - data_.get()); }

    std::string path_;
    uint32_t signature_ = 0;
    uint32_t formatVersion_ = 0;
    uint32_t checksum_ = 0;
    uint32_t blockCount_ = 0;
    std::vector<BirdBlock> blocks_;
    bool hasSerialOffsets_ = false;
    uint32_t serialNumberOffset_ = 0;
    uint32_t serialDescriptorOffset_ = 0;
    std::unique_ptr<uint8_t, FreeDeleter> data_;
    uint32_t dataSize_ = 0;
};
