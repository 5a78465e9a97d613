// Loading a BIRD image against zlib's one-shot inflate of the same stream, side by side.
// Prints the medians, their ratio (target: at most 1.2) and the peak memory of a load
// measured in a fresh process (target: at most 3 times the decompressed size).
//
//   bird_load_bench [MiB of firmware, default 16]
#include "BirdFile.h"

#include "BirdBuilder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace {

using Clock = std::chrono::steady_clock;

// Firmware-sized data that zlib cannot shrink, like an encrypted or packed image.
BirdBuilder::Bytes _noise(size_t size, uint64_t seed) {
    BirdBuilder::Bytes out(size);
    uint64_t x = seed;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        out[i] = static_cast<uint8_t>(x >> 32);
    }
    return out;
}

long _resident_kib() {
    FILE *f = fopen("/proc/self/statm", "r");
    long pages = 0, resident = 0;
    if (f != nullptr) {
        if (fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long _peak_kib() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

double _median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One timed inflate the way a caller without BirdFile would do it: a fresh buffer of the
// same 8x capacity, zlib's uncompress, release.
double _time_uncompress(const BirdBuilder::Bytes &compressed, size_t expected) {
    auto start = Clock::now();
    uLongf length = BirdFile::InflateLimit(compressed.size());
    auto *out = static_cast<Bytef *>(malloc(length));
    int rc = uncompress(out, &length, compressed.data(), static_cast<uLong>(compressed.size()));
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (rc != Z_OK || length != expected) {
        fprintf(stderr, "uncompress failed (%d)\n", rc);
        exit(1);
    }
    free(out);
    return seconds;
}

double _time_load(const std::string &path, uint32_t expectedBlocks) {
    auto start = Clock::now();
    BirdFile image(path.c_str());
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (image.GetBlockCount() != expectedBlocks) {
        fprintf(stderr, "load parsed %u blocks\n", image.GetBlockCount());
        exit(1);
    }
    return seconds;
}

// Run in a fresh process so that nothing of the parent's buffers counts.
int _measure_child(const char *what, const char *path) {
    long before = _resident_kib();
    uint32_t size = 0;
    if (strcmp(what, "load") == 0) {
        BirdFile image(path);
        size = image.GetDataSize();
    } else {
        FILE *f = fopen(path, "rb");
        std::vector<uint8_t> file;
        if (f != nullptr) {
            fseek(f, 0, SEEK_END);
            file.resize(static_cast<size_t>(ftell(f)));
            fseek(f, 0, SEEK_SET);
            if (fread(file.data(), 1, file.size(), f) != file.size())
                return 1;
            fclose(f);
        }
        uLongf length = BirdFile::InflateLimit(file.size() - 6);
        auto *out = static_cast<Bytef *>(malloc(length));
        if (uncompress(out, &length, file.data() + 6, static_cast<uLong>(file.size() - 6)) != Z_OK)
            return 1;
        size = static_cast<uint32_t>(length);
        free(out);
    }
    printf("%ld %ld %u\n", before, _peak_kib(), size);
    return 0;
}

bool _measure(const char *self, const char *what, const std::string &path, long &before, long &peak) {
    std::string command = std::string(self) + " --measure " + what + " " + path;
    FILE *child = popen(command.c_str(), "r");
    unsigned size = 0;
    bool ok = child != nullptr && fscanf(child, "%ld %ld %u", &before, &peak, &size) == 3;
    if (child != nullptr)
        ok = pclose(child) == 0 && ok;
    return ok;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "--measure") == 0)
        return _measure_child(argv[2], argv[3]);
    const size_t mib = argc > 1 ? static_cast<size_t>(atoi(argv[1])) : 16;
    const size_t firmwareBytes = mib << 20;
    constexpr size_t kBlock = 64 * 1024;

    BirdBuilder builder;
    builder.addInfo(4711, "2.10.3", 0x40F5849A, "AX-HUB").addLoader(0x20000000, _noise(32 * 1024, 1));
    BirdBuilder::Bytes firmware = _noise(firmwareBytes, 2);
    for (size_t at = 0; at < firmwareBytes; at += kBlock) {
        size_t end = std::min(at + kBlock, firmwareBytes);
        builder.addFirmware(
            static_cast<uint32_t>(0x08000000 + at),
            BirdBuilder::Bytes(firmware.begin() + static_cast<long>(at), firmware.begin() + static_cast<long>(end)));
    }
    const uint32_t blocks = static_cast<uint32_t>(builder.blocks().size());
    const size_t streamSize = builder.stream().size();
    const BirdBuilder::Bytes compressed = builder.compressed();

    char dir[] = "/tmp/bird-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 1;
    const std::string path = std::string(dir) + "/bench.bird";
    if (!builder.writeTo(path))
        return 1;

    constexpr int kRounds = 21;
    std::vector<double> load, inflate;
    _time_load(path, blocks); // warm the page cache and the allocator
    _time_uncompress(compressed, streamSize);
    for (int i = 0; i < kRounds; ++i) { // interleaved, so drift hits both alike
        load.push_back(_time_load(path, blocks));
        inflate.push_back(_time_uncompress(compressed, streamSize));
    }
    const double loadMs = _median(load) * 1e3, inflateMs = _median(inflate) * 1e3;

    long loadBefore = 0, loadPeak = 0, zBefore = 0, zPeak = 0;
    bool measured =
        _measure(argv[0], "load", path, loadBefore, loadPeak) && _measure(argv[0], "uncompress", path, zBefore, zPeak);
    unlink(path.c_str());
    rmdir(dir);

    printf("BIRD file: %zu MiB firmware in %u blocks, stream %zu bytes, compressed %zu bytes\n", mib, blocks,
           streamSize, compressed.size());
    printf("median of %d: BirdFile load %.2f ms, zlib uncompress %.2f ms, ratio %.3f (target <= 1.2)\n", kRounds,
           loadMs, inflateMs, loadMs / inflateMs);
    if (!measured) {
        printf("peak memory: could not be measured\n");
        return 1;
    }
    const double streamKib = static_cast<double>(streamSize) / 1024.0;
    printf("peak memory of a load: %ld KiB over a %ld KiB process, %.2f x decompressed size (target <= 3)\n",
           loadPeak - loadBefore, loadBefore, static_cast<double>(loadPeak - loadBefore) / streamKib);
    printf("peak memory of read + uncompress alone: %ld KiB, %.2f x decompressed size\n", zPeak - zBefore,
           static_cast<double>(zPeak - zBefore) / streamKib);
    return 0;
}
