#include "BirdFile.h"

#include "Log.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <zlib.h>

namespace {

constexpr size_t kHeaderSize = 6;
constexpr size_t kInfoFieldWidth = 16;

uint32_t _be32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

// Reads until count bytes arrived, end of file or an error; returns what arrived, or -1.
ssize_t _read_fully(int fd, uint8_t *buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = read(fd, buffer + done, count - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0)
            close(fd);
    }
};

} // namespace

BirdFile::BirdFile(const char *path) : path_(path != nullptr ? path : "") {
    if (!Load())
        throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(BirdFile &&other) noexcept { *this = std::move(other); }

BirdFile &BirdFile::operator=(BirdFile &&other) noexcept {
    if (this == &other)
        return *this;
    path_ = std::move(other.path_);
    signature_ = other.signature_;
    formatVersion_ = other.formatVersion_;
    checksum_ = other.checksum_;
    blockCount_ = other.blockCount_;
    blocks_ = std::move(other.blocks_);
    hasSerialOffsets_ = other.hasSerialOffsets_;
    serialNumberOffset_ = other.serialNumberOffset_;
    serialDescriptorOffset_ = other.serialDescriptorOffset_;
    data_ = std::move(other.data_);
    dataSize_ = other.dataSize_;
    other.path_.clear();
    other.reset();
    return *this;
}

void BirdFile::reset() noexcept {
    signature_ = 0;
    formatVersion_ = 0;
    checksum_ = 0;
    blockCount_ = 0;
    blocks_.clear();
    hasSerialOffsets_ = false;
    serialNumberOffset_ = 0;
    serialDescriptorOffset_ = 0;
    data_.reset();
    dataSize_ = 0;
}

uint32_t BirdFile::InflateLimit(uint64_t compressedLength) {
    if (compressedLength > UINT32_MAX / 8)
        return UINT32_MAX;
    return static_cast<uint32_t>(compressedLength * 8);
}

bool BirdFile::Load() {
    reset();
    const char *path = path_.c_str();
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path);
        else
            Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path);
        return false;
    }
    FdCloser closer{fd};
    struct stat st;
    if (fstat(fd, &st) != 0) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", errno, path);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", EISDIR, path);
        return false;
    }
    size_t size = static_cast<size_t>(st.st_size);
    std::unique_ptr<uint8_t, FreeDeleter> buffer(static_cast<uint8_t *>(std::malloc(size > 0 ? size : 1)));
    if (!buffer) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", ENOMEM, path);
        return false;
    }
    ssize_t got = _read_fully(fd, buffer.get(), size);
    if (got < 0) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", errno, path);
        return false;
    }
    if (static_cast<size_t>(got) < size) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", path,
                 static_cast<size_t>(got), size);
        return false;
    }
    return LoadBuffer(buffer.get(), size);
}

bool BirdFile::LoadBuffer(const uint8_t *bytes, size_t size) {
    reset();
    if (bytes == nullptr || size <= kHeaderSize)
        return false;
    signature_ = _be32(bytes);
    formatVersion_ = static_cast<uint32_t>(bytes[4]) << 8 | bytes[5];
    if (!inflateStream(bytes + kHeaderSize, size - kHeaderSize))
        return false;
    scanBlocks(); // mismatches are logged; the blocks parsed so far are kept
    readSerialOffsets();
    return true;
}

// zlib's one-shot inflate with the same 8x bound, but the output grows on demand and
// the capacity is computed without 32-bit wrap-around. Untouched capacity costs no memory.
bool BirdFile::inflateStream(const uint8_t *compressed, size_t length) {
    const uint64_t limit = InflateLimit(length);
    uint64_t capacity = std::min<uint64_t>(limit, std::max<uint64_t>(length + length / 4, 4096));
    std::unique_ptr<uint8_t, FreeDeleter> out(static_cast<uint8_t *>(std::malloc(capacity)));
    int result = out ? Z_OK : Z_MEM_ERROR;

    z_stream zs{};
    if (result == Z_OK)
        result = inflateInit(&zs);
    bool initialised = result == Z_OK;
    size_t consumed = 0;
    uint64_t produced = 0;
    while (result == Z_OK) {
        if (zs.avail_in == 0 && consumed < length) {
            zs.next_in = const_cast<Bytef *>(compressed + consumed);
            zs.avail_in = static_cast<uInt>(std::min<size_t>(length - consumed, UINT_MAX));
            consumed += zs.avail_in;
        }
        if (produced == capacity) {
            if (capacity == limit) {
                // Full at the bound: fine only if nothing but the stream's end is left.
                uint8_t probe;
                zs.next_out = &probe;
                zs.avail_out = 1;
                result = inflate(&zs, Z_NO_FLUSH);
                if (result != Z_STREAM_END || zs.avail_out == 0)
                    result = result == Z_DATA_ERROR || result == Z_MEM_ERROR ? result : Z_BUF_ERROR;
                break;
            }
            uint64_t grown = std::min<uint64_t>(limit, capacity * 2);
            auto *bigger = static_cast<uint8_t *>(std::realloc(out.get(), grown));
            if (bigger == nullptr) {
                result = Z_MEM_ERROR;
                break;
            }
            (void)out.release();
            out.reset(bigger);
            capacity = grown;
        }
        zs.next_out = out.get() + produced;
        zs.avail_out = static_cast<uInt>(std::min<uint64_t>(capacity - produced, UINT_MAX));
        uInt before = zs.avail_out;
        result = inflate(&zs, Z_NO_FLUSH);
        produced += before - zs.avail_out;
        if (result == Z_STREAM_END)
            break;
        if (result == Z_NEED_DICT)
            result = Z_DATA_ERROR;
        else if (result == Z_BUF_ERROR || result == Z_OK) {
            if (zs.avail_out != 0 && zs.avail_in == 0 && consumed == length) {
                result = Z_DATA_ERROR; // input ended inside the stream
                break;
            }
            result = Z_OK;
        }
    }
    if (initialised)
        inflateEnd(&zs);
    if (result != Z_STREAM_END) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", result);
        dataSize_ = 0;
        return false;
    }
    if (produced > 0 && produced < capacity) {
        if (auto *fitted = static_cast<uint8_t *>(std::realloc(out.get(), produced))) {
            (void)out.release();
            out.reset(fitted);
        }
    }
    data_ = std::move(out);
    dataSize_ = static_cast<uint32_t>(produced);
    return true;
}

bool BirdFile::scanBlocks() {
    const uint8_t *p = data_.get();
    const size_t size = dataSize_;
    size_t pos = 0;
    bool sizeMismatch = false;
    uint32_t reported = 0;
    if (size >= 4) {
        reported = _be32(p);
        pos = 4;
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", static_cast<int>(reported));
    } else {
        sizeMismatch = true;
    }
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");
    // Every step checks against what remains, so neither the reported count nor a
    // block length can lead the scan outside the stream.
    while (!sizeMismatch && size - pos > 4) {
        const uint8_t typeByte = p[pos];
        const uint32_t length = _be32(p + pos + 1);
        if (length > size - pos - 5) {
            sizeMismatch = true;
            break;
        }
        BirdBlock block{};
        block.type = typeByte & BIRD_FILE_TYPE_MASK;
        block.flags = static_cast<uint8_t>((typeByte & BIRD_FILE_FLAG_MASK) >> 5);
        block.length = length;
        block.data = p + pos + 5;
        if (block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE) {
            if (length < 4) { // no room for its own load address
                sizeMismatch = true;
                break;
            }
            block.address = _be32(block.data);
        }
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags, static_cast<int>(length));
        if (block.type == BLOCK_INFO) {
            for (size_t field = 0; (field + 1) * kInfoFieldWidth <= length; ++field) {
                char text[kInfoFieldWidth + 1] = {};
                memcpy(text, block.data + field * kInfoFieldWidth, kInfoFieldWidth);
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", text);
            }
        }
        blocks_.push_back(block);
        pos += 5 + static_cast<size_t>(length);
    }
    size_t remaining = size - pos;
    if (!sizeMismatch) {
        if (remaining == 4) {
            checksum_ = _be32(p + pos);
            Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum_);
            remaining = 0;
        } else {
            sizeMismatch = true; // too short for its checksum
        }
    }
    blockCount_ = static_cast<uint32_t>(blocks_.size());
    bool ok = true;
    if (sizeMismatch || remaining != 0) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 static_cast<int>(remaining));
        ok = false;
    }
    if (blockCount_ != reported) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 static_cast<int>(blockCount_), static_cast<int>(reported));
        ok = false;
    }
    return ok;
}

void BirdFile::readSerialOffsets() {
    for (const BirdBlock &block : blocks_) {
        if (block.type != BLOCK_SERIAL_OFFSETS)
            continue;
        hasSerialOffsets_ = true;
        if (block.length >= 8) {
            serialNumberOffset_ = _be32(block.data);
            serialDescriptorOffset_ = _be32(block.data + 4);
            Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
                     static_cast<int>(serialNumberOffset_), static_cast<int>(serialDescriptorOffset_));
        }
        return; // only the first offsets block counts
    }
}

bool BirdFile::VerifyFile(const char *path) {
    int fd = path != nullptr ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path != nullptr ? path : "");
        return false;
    }
    FdCloser closer{fd};
    uint8_t header[kHeaderSize];
    if (_read_fully(fd, header, sizeof header) != static_cast<ssize_t>(sizeof header))
        return false;
    return _be32(header) == BIRD_FILE_SIGNATURE && header[4] != 0 && header[5] != 0;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
    std::vector<BirdBlock> found;
    for (const BirdBlock &block : blocks_)
        if (block.type == type)
            found.push_back(block);
    return found;
}

const BirdBlock *BirdFile::infoBlock() const {
    for (const BirdBlock &block : blocks_)
        if (block.type == BLOCK_INFO)
            return &block;
    return nullptr;
}

// The whole 16-byte field, or "" when there is no information block or it is too short.
std::string BirdFile::infoField(unsigned index) const {
    const BirdBlock *info = infoBlock();
    if (info == nullptr || (index + 1) * kInfoFieldWidth > info->length)
        return {};
    return std::string(reinterpret_cast<const char *>(info->data) + index * kInfoFieldWidth, kInfoFieldWidth);
}

uint64_t BirdFile::GetBuild() const {
    std::string text = infoField(0).substr(0, 15);
    size_t i = 0;
    while (i < text.size() && isspace(static_cast<unsigned char>(text[i])))
        ++i;
    uint64_t build = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        build = build * 10 + static_cast<uint64_t>(text[i] - '0');
    return build;
}

std::string BirdFile::GetVersion() const {
    std::string text = infoField(1).substr(0, 15);
    return text.substr(0, text.find_first_of(std::string(" \0", 2)));
}

uint32_t BirdFile::GetSerialNumber() const {
    std::string text = infoField(2).substr(0, 8);
    size_t i = 0;
    while (i < text.size() && isspace(static_cast<unsigned char>(text[i])))
        ++i;
    uint32_t serial = 0;
    for (; i < text.size() && isxdigit(static_cast<unsigned char>(text[i])); ++i) {
        char c = static_cast<char>(toupper(static_cast<unsigned char>(text[i])));
        serial = serial << 4 | static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'A' + 10);
    }
    return serial;
}

bool BirdFile::ValidateModel(const char *model) const {
    if (model == nullptr || infoBlock() == nullptr)
        return false;
    std::string field = infoField(3);
    if (field.empty())
        return false;
    while (!field.empty() && (field.back() == ' ' || field.back() == '\0'))
        field.pop_back();
    size_t wanted = strlen(model);
    if (wanted > field.size() || field.compare(0, wanted, model) != 0)
        return false;
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field.c_str(), model);
    return true;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    bool replaced = false;
    for (const BirdBlock &block : blocks_) {
        if (block.type != BLOCK_FIRMWARE)
            continue;
        // 64-bit so that an offset near the top of the address space cannot wrap.
        const uint64_t start = block.address;
        const uint64_t end = start + (block.length - 4);
        uint8_t *payload = writable(block) + 4;
        if (serialNumberOffset_ != 0) {
            replaced = true;
            const uint64_t at = serialNumberOffset_;
            if (at >= start && at + 4 <= end) {
                uint8_t *word = payload + (at - start);
                uint32_t old = static_cast<uint32_t>(word[0]) | static_cast<uint32_t>(word[1]) << 8 |
                               static_cast<uint32_t>(word[2]) << 16 | static_cast<uint32_t>(word[3]) << 24;
                Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n", old, serial);
                // Little-endian, unlike the big-endian container around it.
                for (int i = 0; i < 4; ++i)
                    word[i] = static_cast<uint8_t>(serial >> (8 * i));
            }
        }
        if (serialDescriptorOffset_ != 0) {
            const uint64_t at = serialDescriptorOffset_;
            if (at >= start && at + 16 <= end) {
                // UTF-16LE descriptor characters: only the low bytes change.
                uint8_t *chars = payload + (at - start);
                for (int i = 0; i < 8; ++i)
                    chars[2 * i] = static_cast<uint8_t>(text[i]);
                replaced = true;
            }
        }
    }
    return replaced;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t fingerprint[4]) {
    uint8_t key[16];
    for (int word = 0; word < 4; ++word)
        for (int byte = 0; byte < 4; ++byte)
            key[word * 4 + byte] = static_cast<uint8_t>(fingerprint[word] >> (24 - 8 * byte));
    for (const BirdBlock &block : blocks_) {
        if (block.type != BLOCK_FIRMWARE)
            continue;
        uint8_t *payload = writable(block) + 4;
        uint8_t chain = 0;
        for (uint32_t i = 0; i < block.length - 4; ++i) {
            payload[i] = static_cast<uint8_t>(payload[i] ^ key[i % 16] ^ chain);
            chain = payload[i];
        }
    }
    return true;
}
