#include "FuzzTargets.h"

#include "BirdBuilder.h"
#include "BirdFile.h"
#include "KeyValueStore.h"
#include "Log.h"
#include "MemoryStream.h"
#include "UpdateServerRequest.h"
#include "aPacket.h"
#include "aStream_CobsEncoding.h"
#include "base64.h"
#include "cobs.h"
#include "crc8.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace {

using Bytes = std::vector<uint8_t>;

bool _broken(const char *target, const char *promise) {
    fprintf(stderr, "%s: broken promise: %s\n", target, promise);
    return false;
}

#define CHECK(target, condition)                                                                                       \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            return _broken(target, #condition);                                                                        \
    } while (0)

// --- BIRD images ---

bool _inside(const BirdFile &bird, const BirdBlock &block) {
    const uint8_t *begin = bird.GetData();
    const uint8_t *end = begin + bird.GetDataSize();
    return begin != nullptr && block.data >= begin && block.length <= static_cast<size_t>(end - block.data);
}

// Bytes of the stream that no firmware payload covers: the only ones that personalising
// and decoding must leave alone.
Bytes _outside_firmware(const BirdFile &bird) {
    Bytes mask(bird.GetDataSize(), 1);
    for (const BirdBlock &block : bird.GetBlocks())
        if (block.type == BirdFile::BLOCK_FIRMWARE)
            for (uint32_t i = 4; i < block.length; ++i)
                mask[static_cast<size_t>(block.data - bird.GetData()) + i] = 0;
    Bytes kept;
    for (size_t i = 0; i < mask.size(); ++i)
        if (mask[i])
            kept.push_back(bird.GetData()[i]);
    return kept;
}

Bytes _payloads(const BirdFile &bird) {
    Bytes all;
    for (const BirdBlock &block : bird.FindBlocks(BirdFile::BLOCK_FIRMWARE))
        all.insert(all.end(), block.data + 4, block.data + block.length);
    return all;
}

bool _check_loaded(BirdFile &bird, size_t compressedLength) {
    const char *t = "bird";
    CHECK(t, bird.GetDataSize() <= BirdFile::InflateLimit(compressedLength));
    CHECK(t, bird.GetBlockCount() == bird.GetBlocks().size());
    size_t found = 0;
    for (unsigned type = 0; type <= BIRD_FILE_TYPE_MASK; ++type)
        found += bird.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(type)).size();
    CHECK(t, found == bird.GetBlocks().size());
    for (const BirdBlock &block : bird.GetBlocks()) {
        CHECK(t, _inside(bird, block));
        CHECK(t, block.type <= BIRD_FILE_TYPE_MASK && block.flags <= 7);
        if (block.type == BirdFile::BLOCK_LOADER || block.type == BirdFile::BLOCK_FIRMWARE)
            CHECK(t, block.length >= 4);
    }
    CHECK(t, bird.GetBuild() < 1000000000000000ULL); // 15 digits at most
    const std::string version = bird.GetVersion();
    CHECK(t, version.size() <= 15 && version.find(' ') == std::string::npos);
    (void)bird.GetSerialNumber();
    (void)bird.ValidateModel("");
    (void)bird.ValidateModel("TEST");

    const Bytes kept = _outside_firmware(bird);
    (void)bird.ReplaceSerialNumber(0x40F5849A);
    CHECK(t, _outside_firmware(bird) == kept);

    // Decoding undoes the test writer's encoding, which shares no code with the reader.
    const uint32_t fingerprint[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
    const Bytes encoded = _payloads(bird);
    CHECK(t, bird.DecodeFirmwareBlocks(fingerprint));
    CHECK(t, _outside_firmware(bird) == kept);
    Bytes again;
    for (const BirdBlock &block : bird.FindBlocks(BirdFile::BLOCK_FIRMWARE)) {
        Bytes encodedBlock = BirdBuilder::encodePayload(Bytes(block.data + 4, block.data + block.length), fingerprint);
        again.insert(again.end(), encodedBlock.begin(), encodedBlock.end());
    }
    CHECK(t, again == encoded);

    // Moving keeps the blocks pointing into the stream that moved with them.
    BirdFile moved(std::move(bird));
    CHECK(t, bird.GetBlocks().empty() && bird.GetData() == nullptr);
    for (const BirdBlock &block : moved.GetBlocks())
        CHECK(t, _inside(moved, block));
    return true;
}

// --- update server answers ---

std::string _base64(std::string_view bytes) {
    static const char *alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << 16;
        if (i + 1 < bytes.size())
            group |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size())
            group |= static_cast<uint8_t>(bytes[i + 2]);
        text += alphabet[group >> 18 & 63];
        text += alphabet[group >> 12 & 63];
        text += i + 1 < bytes.size() ? alphabet[group >> 6 & 63] : '=';
        text += i + 2 < bytes.size() ? alphabet[group & 63] : '=';
    }
    return text;
}

// Lines as the server's answers are read: runs of line feeds separate, leading ones skipped.
std::vector<std::string_view> _lines(std::string_view body) {
    std::vector<std::string_view> lines;
    size_t pos = 0;
    while (pos < body.size()) {
        if (body[pos] == '\n') {
            ++pos;
            continue;
        }
        size_t end = body.find('\n', pos);
        if (end == std::string_view::npos)
            end = body.size();
        lines.push_back(body.substr(pos, end - pos));
        pos = end;
    }
    return lines;
}

bool _check_base64(std::string_view text) {
    const char *t = "server_answer";
    size_t length = 0;
    std::unique_ptr<unsigned char, decltype(&free)> decoded(base64_decode(text.data(), text.size(), &length), free);
    if (decoded) {
        CHECK(t, text.size() % 4 == 0);
        CHECK(t, length <= text.size() / 4 * 3 && length + 2 >= text.size() / 4 * 3);
        CHECK(t, decoded.get()[length] == 0);
    }
    // Whatever the text, its own encoding decodes back to it.
    const std::string encoded = _base64(text);
    std::unique_ptr<unsigned char, decltype(&free)> back(base64_decode(encoded.data(), encoded.size(), &length), free);
    CHECK(t, back != nullptr);
    CHECK(t, std::string_view(reinterpret_cast<const char *>(back.get()), length) == text);
    return true;
}

// --- settings files ---

class _ScratchDir {
  public:
    _ScratchDir() {
        struct stat st;
        std::string base = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
        std::string pattern = base + "/keyvalue_fuzz.XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr)
            dir_ = pattern;
    }
    ~_ScratchDir() {
        if (!dir_.empty()) {
            unlink(file().c_str());
            rmdir(dir_.c_str());
        }
    }
    _ScratchDir(const _ScratchDir &) = delete;
    _ScratchDir &operator=(const _ScratchDir &) = delete;
    bool ok() const { return !dir_.empty(); }
    std::string file() const { return dir_ + "/settings"; }

  private:
    std::string dir_;
};

bool _blank_at_an_end(const std::string &text) {
    return !text.empty() &&
           (isspace(static_cast<unsigned char>(text.front())) || isspace(static_cast<unsigned char>(text.back())));
}

// --- packets and COBS ---

struct Cobs {
    std::shared_ptr<MemoryLink> link = std::make_shared<MemoryLink>();
    aStream *stream = nullptr;
    Cobs() {
        aStream *inner = MemoryLink::createStream(link);
        if (inner == nullptr)
            return;
        if (aStream_CreateCobsEncoding(inner->get, inner->put, inner->write, inner->del, inner->ref, &stream) !=
            aErrNone)
            return;
        inner->del = nullptr; // the COBS stream owns the transport now
        aStream_Destroy(&inner);
    }
    ~Cobs() { aStream_Destroy(&stream); }
    Cobs(const Cobs &) = delete;
    Cobs &operator=(const Cobs &) = delete;

    // What reading the bytes yields. Every get that hands out no byte has taken one from
    // the transport, so the count is exact; a trailing non-zero byte (the start of a frame
    // that never ends) lets a frame completed by the last byte be read out without waiting.
    Bytes read(const Bytes &bytes) {
        Bytes fed(bytes);
        fed.push_back(0x01);
        link->feed(fed);
        Bytes out;
        for (size_t taken = 0; taken < fed.size();) {
            uint8_t byte = 0;
            if (aStream_Read(stream, &byte, 1) == aErrNone)
                out.push_back(byte);
            else
                ++taken;
        }
        return out;
    }
};

// What writing the bytes to a COBS stream should put on the wire, as the packets' plain
// bytes: the byte form assembled packet by packet, refused address and length bytes
// dropped, packets with more data than a frame carries dropped.
Bytes _expected_packets(const uint8_t *data, size_t size) {
    Bytes out;
    Bytes packet;
    for (size_t i = 0; i < size; ++i) {
        const uint8_t byte = data[i];
        if (packet.empty()) {
            if (byte != 0)
                packet.push_back(byte);
            continue;
        }
        if (packet.size() == 1 && byte > aPACKET_MAXDATA) {
            packet.clear();
            continue;
        }
        packet.push_back(byte);
        if (packet.size() == size_t{packet[1]} + 2) {
            if (packet[1] <= aPACKET_MAXDATA - 1)
                out.insert(out.end(), packet.begin(), packet.end());
            packet.clear();
        }
    }
    return out;
}

// Assembles read bytes into packets as the link engine does and exercises each one.
bool _assemble(const Bytes &bytes) {
    const char *t = "packet";
    aPacket *p = aPacket_Create();
    CHECK(t, p != nullptr);
    bool ok = true;
    for (uint8_t byte : bytes) {
        if (aPacket_AddByte(p, byte) != aErrNone) {
            aPacket_Reset(p);
            continue;
        }
        CHECK(t, p->count <= aPACKET_MAXBYTES);
        if (!aPacket_IsComplete(p))
            continue;
        uint8_t form[aPACKET_MAXBYTES];
        size_t written = 0;
        if (aPacket_GetBytes(p, form, sizeof form, &written) != aErrNone || written != size_t{p->length} + 2)
            ok = _broken(t, "a complete packet gives its byte form");
        aPacket *copy = aPacket_Copy(p);
        if (copy == nullptr || copy->length != p->length || memcmp(copy->data, p->data, p->length) != 0)
            ok = _broken(t, "a copy holds the same packet");
        uint8_t field = 0;
        (void)aPacket_GetCmd(copy, &field);
        (void)aPacket_GetOption(copy, &field);
        (void)aPacket_GetIndex(copy, &field);
        aPacket_Destroy(&copy);
        aPacket_Reset(p);
    }
    aPacket_Destroy(&p);
    return ok;
}

bool _check_bare_cobs(const uint8_t *data, size_t size) {
    const char *t = "packet";
    // Exactly sized buffers, so a step past either end is a sanitizer report.
    std::unique_ptr<uint8_t[]> source(new uint8_t[size + 1]);
    memcpy(source.get(), data, size);
    std::unique_ptr<uint8_t[]> decoded(new uint8_t[size + 1]);
    CHECK(t, cobs_decode(source.get(), size, decoded.get()) <= size);

    const size_t room = size + 1 + size / 254;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[room]);
    memcpy(buffer.get(), data, size);
    const size_t encoded = cobs_encode_inplace(buffer.get(), size);
    CHECK(t, encoded <= room);
    CHECK(t, memchr(buffer.get(), 0, encoded) == nullptr);
    const size_t back = cobs_decode_inplace(buffer.get(), encoded);
    CHECK(t, back == size && memcmp(buffer.get(), data, size) == 0);

    CHECK(t, crc8_check(data, size, crc8_create(data, size)));
    return true;
}

unsigned sPreviousPackages = 0;
FILE *sNull = nullptr;

} // namespace

void FuzzLogEverything() {
    if (sNull == nullptr)
        sNull = fopen("/dev/null", "w");
    sPreviousPackages = Log::Packages();
    Log::SetOutput(sNull);
    Log::ActivatePackage(~0u);
}

void FuzzRestoreLog() {
    Log::SetOutput(nullptr);
    Log::DeactivatePackage(~sPreviousPackages);
}

bool FuzzBirdFile(const uint8_t *data, size_t size) {
    if (size == 0)
        return true;
    Bytes image(data + 1, data + size);
    if (data[0] & 1) {
        if (image.size() < 6)
            return true;
        const Bytes stream(image.begin() + 6, image.end());
        uLongf length = compressBound(stream.size());
        Bytes compressed(length);
        if (compress2(compressed.data(), &length, stream.data(), stream.size(), Z_BEST_SPEED) != Z_OK)
            return true;
        image.resize(6);
        image.insert(image.end(), compressed.begin(), compressed.begin() + static_cast<std::ptrdiff_t>(length));
    }
    BirdFile bird;
    if (!bird.LoadBuffer(image.data(), image.size())) {
        CHECK("bird", bird.GetBlocks().empty() && bird.GetDataSize() == 0);
        return true;
    }
    return _check_loaded(bird, image.size() - 6);
}

bool FuzzServerAnswer(const uint8_t *data, size_t size) {
    const char *t = "server_answer";
    const std::string body(reinterpret_cast<const char *>(data), size);
    const std::vector<std::string_view> lines = _lines(body);

    CHECK(t, UpdateServerRequest::AnswerIsOk(body) == (!lines.empty() && lines[0].substr(0, 2) == "ok"));

    // The parsers run only on accepted answers, but none may trip on any body.
    std::string build, firmware;
    UpdateServerRequest::ParseQueryBuild(body, build, firmware);
    CHECK(t, build == (lines.size() > 1 ? lines[1] : std::string_view{}));
    CHECK(t, firmware.find_first_of("\r\n") == std::string::npos);

    std::string image = "stale";
    UpdateServerRequest::ParseBuild(body, image);
    CHECK(t, image == (lines.size() > 1 ? lines[1] : std::string_view{}));

    BuildList builds{{"stale", "x"}};
    UpdateServerRequest::ParseBuildList(body, builds);
    CHECK(t, builds.size() < lines.size() || builds.empty());
    for (const auto &[number, version] : builds) {
        CHECK(t, !number.empty() && number.find_first_of(";\r\n") == std::string::npos);
        CHECK(t, version.find_first_of(";\r\n") == std::string::npos);
    }
    const SortedBuildList sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    CHECK(t, sorted.size() == builds.size());
    for (size_t i = 1; i < sorted.size(); ++i)
        CHECK(t, !UpdateServerRequest::VersionGoesBefore(sorted[i].second, sorted[i - 1].second));

    uint32_t serial = 0, number = 0;
    UpdateServerRequest::ParseRecoveryInfo(body, &serial, &number);
    UpdateServerRequest::ParseRecoveryInfo(body, nullptr, nullptr);

    std::string token;
    if (UpdateServerRequest::ParseDeviceJWT(body, token)) {
        // Header and payload end at a dot only; the signature is cut at a line end.
        CHECK(t, token.size() >= 8 && token.find('\n') == std::string::npos && token.back() != '\r');
        CHECK(t, lines.size() > 1 && lines[1].find(token.substr(0, token.find('.'))) != std::string_view::npos);
    }

    // An image line is decoded as it came; the whole body must survive its own encoding.
    return _check_base64(image) && _check_base64(body);
}

bool FuzzKeyValueStore(const uint8_t *data, size_t size) {
    const char *t = "keyvalue";
    static _ScratchDir scratch;
    CHECK(t, scratch.ok());
    int fd = memfd_create("keyvalue_fuzz", MFD_CLOEXEC);
    CHECK(t, fd >= 0);
    const bool written = write(fd, data, size) == static_cast<ssize_t>(size);
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    KeyValueStore store;
    if (written)
        store.Load(path.c_str());
    close(fd);
    CHECK(t, written);
    CHECK(t, !store.IsChanged());
    for (const auto &[key, value] : store.Entries()) {
        CHECK(t, !key.empty() && key.find_first_of("=\n") == std::string::npos && !_blank_at_an_end(key));
        CHECK(t, value.find('\n') == std::string::npos && !_blank_at_an_end(value));
    }

    // What Save writes, Load reads back, but for keys that begin with "#": written at the
    // start of a line they read as comments.
    store.Save(scratch.file().c_str());
    CHECK(t, !store.IsChanged());
    KeyValueStore again(scratch.file().c_str());
    std::map<std::string, std::string> expected;
    for (const auto &entry : store.Entries())
        if (entry.first[0] != '#')
            expected.insert(entry);
    CHECK(t, again.Entries() == expected);
    return true;
}

bool FuzzPacketStream(const uint8_t *data, size_t size) {
    const char *t = "packet";
    if (!_check_bare_cobs(data, size))
        return false;

    Cobs receiver;
    CHECK(t, receiver.stream != nullptr);
    const Bytes input(data, data + size);
    if (!_assemble(receiver.read(input)))
        return false;

    // Written packets are framed, and frames read back give the same packets.
    Cobs sender;
    CHECK(t, sender.stream != nullptr);
    if (size > 0)
        (void)aStream_Write(sender.stream, data, size);
    Cobs echo;
    CHECK(t, echo.stream != nullptr);
    CHECK(t, echo.read(sender.link->written()) == _expected_packets(data, size));
    return true;
}
