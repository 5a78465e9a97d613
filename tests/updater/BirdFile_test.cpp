#include "BirdFile.h"
#include "Log.h"

#include "BirdBuilder.h"
#include "LogCapture.h"
#include "TempDir.h"

#include <climits>
#include <cstdio>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <zlib.h>

namespace {

using Bytes = BirdBuilder::Bytes;

class BirdFileTest : public ::testing::Test {
  protected:
    std::string write(const BirdBuilder &builder, const std::string &name = "image.bird") {
        std::string path = dir_.file(name);
        EXPECT_TRUE(builder.writeTo(path));
        return path;
    }
    BirdFile load(const BirdBuilder &builder) { return BirdFile(write(builder).c_str()); }

    TempDir dir_;
};

Bytes pattern(size_t n, uint8_t seed = 0) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return out;
}

Bytes payloadOf(const BirdBlock &block) { return Bytes(block.data + 4, block.data + block.length); }

TEST_F(BirdFileTest, LoadsAMinimalImageWithItsInformationFields) {
    BirdBuilder builder;
    builder.addInfo(4711, "2.10.3", 0x40F5849A, "AX-HUB");
    BirdFile image = load(builder);
    EXPECT_EQ(image.GetBlockCount(), 1u);
    EXPECT_FALSE(image.HasSerialOffsets());
    EXPECT_EQ(image.GetSignature(), BIRD_FILE_SIGNATURE);
    EXPECT_EQ(image.GetFormatVersion(), 0x0101u);
    EXPECT_EQ(image.GetDataSize(), builder.stream().size());
    EXPECT_EQ(image.GetBuild(), 4711u);
    EXPECT_EQ(image.GetVersion(), "2.10.3");
    EXPECT_EQ(image.GetSerialNumber(), 0x40F5849Au);
    EXPECT_TRUE(image.ValidateSerialNumber(0x40F5849A));
    EXPECT_FALSE(image.ValidateSerialNumber(0x40F5849B));
    EXPECT_TRUE(image.ValidateModel("AX-HUB"));
    EXPECT_TRUE(BirdFile::VerifyFile(dir_.file("image.bird").c_str()));
}

TEST_F(BirdFileTest, VerifyFileChecksOnlyTheHeader) {
    struct Case {
        const char *name;
        std::string bytes;
        bool ok;
    };
    std::string body = BirdBuilder::minimalValid().str().substr(6);
    const Case cases[] = {
        {"valid", "bird\x01\x01" + body, true},
        {"headerOnly", std::string("bird\x02\x07", 6), true}, // Load would fail; the check does not look
        {"minorZero", std::string("bird\x01\x00", 6) + body, false},
        {"majorZero", std::string("bird\x00\x01", 6) + body, false},
        {"badSignature", "BIRD\x01\x01" + body, false},
        {"fiveBytes", "bird\x01", false},
        {"empty", "", false},
    };
    for (const Case &c : cases) {
        writeFile(dir_.file(c.name), c.bytes);
        EXPECT_EQ(BirdFile::VerifyFile(dir_.file(c.name).c_str()), c.ok) << c.name;
    }
    EXPECT_FALSE(BirdFile::VerifyFile(dir_.file("absent").c_str()));
    EXPECT_FALSE(BirdFile::VerifyFile(nullptr));
}

TEST_F(BirdFileTest, LoadDoesNotCheckTheHeader) {
    BirdFile zeroMinor = load(BirdBuilder::minimalValid().setVersion(1, 0));
    EXPECT_EQ(zeroMinor.GetBlockCount(), 1u);
    EXPECT_EQ(zeroMinor.GetFormatVersion(), 0x0100u);
    EXPECT_FALSE(BirdFile::VerifyFile(zeroMinor.GetPath().c_str()));
    BirdFile badSignature = load(BirdBuilder::minimalValid().setSignature("nope"));
    EXPECT_EQ(badSignature.GetBlockCount(), 1u);
    EXPECT_EQ(badSignature.GetSignature(), 0x6E6F7065u);
}

TEST_F(BirdFileTest, FailuresThrowFromThePathConstructor) {
    struct Case {
        const char *name;
        std::string bytes;
        const char *logged;
    };
    Bytes zeros(100000, 0);
    const Case cases[] = {
        {"sixBytes", std::string("bird\x01\x01", 6), nullptr},
        {"garbageZlib", std::string("bird\x01\x01", 6) + "not a zlib stream", "Error (-3) decompressing"},
        {"truncatedZlib", BirdBuilder::minimalValid().truncateCompressed(7).str(), "Error (-3) decompressing"},
        // 100000 zero bytes compress far better than 8:1.
        {"overExpanding", BirdBuilder().addBlock(3, 0, zeros).str(), "Error (-5) decompressing"},
    };
    for (const Case &c : cases) {
        writeFile(dir_.file(c.name), c.bytes);
        LogCapture log(DEBUG_BirdFile);
        try {
            BirdFile image(dir_.file(c.name).c_str());
            ADD_FAILURE() << c.name << " loaded";
        } catch (const std::runtime_error &e) {
            EXPECT_STREQ(e.what(), "Failed to load bird data") << c.name;
        }
        if (c.logged != nullptr) {
            EXPECT_NE(log.text().find(c.logged), std::string::npos) << c.name << ": " << log.text();
        }
    }
    LogCapture log(DEBUG_BirdFile);
    EXPECT_THROW(BirdFile(dir_.file("absent").c_str()), std::runtime_error);
    EXPECT_NE(log.text().find("BIRD file not found [" + dir_.file("absent") + "]"), std::string::npos);
    EXPECT_THROW(BirdFile(dir_.path().c_str()), std::runtime_error); // a directory
}

TEST_F(BirdFileTest, InflatesUpToExactlyEightTimesTheCompressedLength) {
    // One block of zeros sized so the stream is 8000 bytes; it compresses to a few dozen.
    // zlib ignores bytes after the end of its stream, so padding the compressed part sets
    // the bound: 1000 bytes allow exactly 8000, 999 bytes fall 8 short.
    BirdBuilder plain;
    plain.addBlock(3, 0, Bytes(8000 - 13, 0));
    ASSERT_EQ(plain.stream().size(), 8000u);
    Bytes z = plain.compressed();
    ASSERT_LT(z.size(), 999u);
    for (size_t padded : {1000u, 999u}) {
        Bytes exact = z;
        exact.resize(padded, 0xAA);
        BirdBuilder b = plain;
        b.setCompressed(exact);
        BirdFile image;
        Bytes file = b.bytes();
        LogCapture log(DEBUG_BirdFile);
        bool loaded = image.LoadBuffer(file.data(), file.size());
        EXPECT_EQ(loaded, padded == 1000u) << padded;
        EXPECT_EQ(image.GetBlockCount(), padded == 1000u ? 1u : 0u);
        EXPECT_EQ(image.GetDataSize(), padded == 1000u ? 8000u : 0u);
        EXPECT_EQ(log.text().find("BIRDFILE: Error (-5) decompressing bird file.\n") != std::string::npos,
                  padded == 999u)
            << log.text();
    }
}

TEST(BirdFileLimit, EightTimesDoesNotWrapInThirtyTwoBits) {
    EXPECT_EQ(BirdFile::InflateLimit(0), 0u);
    EXPECT_EQ(BirdFile::InflateLimit(1), 8u);
    EXPECT_EQ(BirdFile::InflateLimit(0x1FFFFFFF), 0xFFFFFFF8u);
    EXPECT_EQ(BirdFile::InflateLimit(0x20000000), UINT32_MAX); // wrapped, this would be 0
    EXPECT_EQ(BirdFile::InflateLimit(0x20000001), UINT32_MAX); // wrapped, this would be 8
    EXPECT_EQ(BirdFile::InflateLimit(UINT64_MAX), UINT32_MAX);
}

TEST_F(BirdFileTest, BlocksCarryTypeFlagsAddressAndWholeData) {
    BirdBuilder builder;
    builder.addLoader(0x20000000, pattern(10))
        .addBlock(1, 2, {0x00, 0x00, 0x80, 0x00}) // type byte 0x41, address only
        .addSerialOffsets(0, 0)
        .addBlock(7, 7, {1, 2, 3})
        .addLoaderStart(0x20000400);
    ASSERT_EQ(builder.blocks()[1].typeByte, 0x41);
    BirdFile image = load(builder);
    ASSERT_EQ(image.GetBlockCount(), 5u);
    EXPECT_TRUE(image.HasSerialOffsets());

    std::vector<BirdBlock> loader = image.FindBlocks(BirdFile::BLOCK_LOADER);
    ASSERT_EQ(loader.size(), 1u);
    EXPECT_EQ(loader[0].address, 0x20000000u);
    EXPECT_EQ(loader[0].length, 14u); // the address is part of the data handed on
    EXPECT_EQ(Bytes(loader[0].data, loader[0].data + 4), (Bytes{0x20, 0, 0, 0}));
    EXPECT_EQ(payloadOf(loader[0]), pattern(10));

    std::vector<BirdBlock> firmware = image.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    ASSERT_EQ(firmware.size(), 1u);
    EXPECT_EQ(firmware[0].flags, 2);
    EXPECT_EQ(firmware[0].length, 4u);
    EXPECT_EQ(firmware[0].address, 0x8000u);

    const BirdBlock &other = image.GetBlocks()[3];
    EXPECT_EQ(other.type, 7);
    EXPECT_EQ(other.flags, 7);
    EXPECT_EQ(other.address, 0u); // only loader and firmware blocks have one
    std::vector<BirdBlock> start = image.FindBlocks(BirdFile::BLOCK_LOADER_START);
    ASSERT_EQ(start.size(), 1u);
    EXPECT_EQ(start[0].address, 0u);
    EXPECT_TRUE(image.FindBlocks(BirdFile::BLOCK_INFO).empty());
}

TEST_F(BirdFileTest, InformationFieldsAreCutAsEachReaderSays) {
    struct Case {
        const char *build, *version, *serial, *model;
        uint64_t wantBuild;
        const char *wantVersion;
        uint32_t wantSerial;
    };
    const Case cases[] = {
        {"1234567890123456", "1.2.3", "1234abcd", "M", 123456789012345u, "1.2.3", 0x1234ABCD},
        {"77x", "2.0.0 beta", "DEADDEAD99", "M", 77, "2.0.0", 0xDEADDEAD},
        {"", "0123456789ABCDEFG", "", "M", 0, "0123456789ABCDE", 0},
    };
    for (const Case &c : cases) {
        BirdFile image = load(BirdBuilder().addInfoText(c.build, c.version, c.serial, c.model));
        EXPECT_EQ(image.GetBuild(), c.wantBuild) << c.build;
        EXPECT_EQ(image.GetVersion(), c.wantVersion) << c.version;
        EXPECT_EQ(image.GetSerialNumber(), c.wantSerial) << c.serial;
    }
}

TEST_F(BirdFileTest, ValidateModelWantsTheWholeNameAsAPrefix) {
    BirdFile image = load(BirdBuilder().addInfo(1, "1.0", 1, "AX-HUB-8"));
    struct Case {
        const char *name;
        bool match;
    };
    const Case cases[] = {{"AX-HUB-8", true},  {"AX-HUB", true},     {"", true},
                          {"ax-hub-8", false}, {"AX-HUB-80", false}, {"AX-HUB-8         X", false}};
    LogCapture log(DEBUG_BirdFile);
    for (const Case &c : cases)
        EXPECT_EQ(image.ValidateModel(c.name), c.match) << c.name;
    EXPECT_FALSE(image.ValidateModel(nullptr));
    EXPECT_NE(log.text().find("Model matches model number ([AX-HUB-8] == [AX-HUB])\n"), std::string::npos);

    BirdFile sixteen = load(BirdBuilder().addInfo(1, "1.0", 1, "ABCDEFGHIJKLMNOP"));
    EXPECT_TRUE(sixteen.ValidateModel("ABCDEFGHIJKLMNOP"));
    EXPECT_FALSE(sixteen.ValidateModel("ABCDEFGHIJKLMNOPQ"));
}

TEST_F(BirdFileTest, NoInformationBlockGivesEmptyFields) {
    BirdFile image = load(BirdBuilder().addFirmware(0x1000, pattern(8)));
    EXPECT_EQ(image.GetBuild(), 0u);
    EXPECT_EQ(image.GetVersion(), "");
    EXPECT_EQ(image.GetSerialNumber(), 0u);
    EXPECT_FALSE(image.ValidateModel(""));
    BirdFile none;
    EXPECT_EQ(none.GetBlockCount(), 0u);
    EXPECT_FALSE(none.ValidateModel(""));
    EXPECT_FALSE(none.ReplaceSerialNumber(1));
}

TEST_F(BirdFileTest, LogsTheScanAndItsMismatches) {
    LogCapture log(DEBUG_BirdFile);
    BirdFile image = load(BirdBuilder::minimalValid().setReportedCount(2).setChecksum(0xCAFEF00D));
    EXPECT_EQ(image.GetBlockCount(), 1u);
    EXPECT_EQ(image.GetChecksum(), 0xCAFEF00Du);
    std::string text = log.text();
    for (const char *line :
         {"BIRDFILE: Loading File [", "BIRDFILE:\t\t File reports 2 blocks\n", "BIRDFILE: Bird file objects:\n",
          "BIRDFILE: \t\tType Flags Length\n", "BIRDFILE:\t\t 04   00   64\n", "BIRDFILE:\t\t \t[TEST            ]\n",
          "BIRDFILE:\t\t File checksum CAFEF00D\n", "BIRDFILE: Block parsing mismatch in number of blocks. (1 != 2)\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
    EXPECT_EQ(text.find("mismatch in data size"), std::string::npos);
}

TEST_F(BirdFileTest, LogsTheSerialOffsetsAndAStreamTooShortForItsChecksum) {
    LogCapture log(DEBUG_BirdFile);
    BirdFile image = load(BirdBuilder::minimalValid().addSerialOffsets(0x1010, 0x1020).truncateStream(2));
    EXPECT_EQ(image.GetBlockCount(), 2u);
    EXPECT_EQ(image.GetChecksum(), 0u);
    std::string text = log.text();
    for (const char *line : {"BIRDFILE: Offsets: Serial number: 4112, Descriptor: 4128\n",
                             "BIRDFILE: Block parsing mismatch in data size. (2 bytes remaining)\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
    EXPECT_EQ(text.find("File checksum"), std::string::npos);
    EXPECT_EQ(text.find("mismatch in number of blocks"), std::string::npos);
}

// Malformed images: each loads or fails as documented, and nothing reads or writes
// outside the stream (this table is what AddressSanitizer watches).
struct Malformed {
    const char *name;
    void (*apply)(BirdBuilder &);
    bool loads;
    uint32_t blocks;
};

const Malformed kMalformed[] = {
    {"BlockPastEnd", [](BirdBuilder &b) { b.addFirmware(0x1000, pattern(16)).setBlockLength(1, 0xFFFF); }, true, 1},
    {"BlockLengthAllOnes", [](BirdBuilder &b) { b.addFirmware(0x1000, pattern(16)).setBlockLength(1, 0xFFFFFFFF); },
     true, 1},
    {"BlockLengthOnePastEnd", [](BirdBuilder &b) { b.setBlockLength(0, 69); }, true, 0},
    {"BlockLengthEatsTheChecksum", [](BirdBuilder &b) { b.setBlockLength(0, 65); }, true, 1},
    {"CountLargerThanData", [](BirdBuilder &b) { b.setReportedCount(100000); }, true, 1},
    {"CountAllOnes", [](BirdBuilder &b) { b.setReportedCount(0xFFFFFFFF); }, true, 1},
    {"MoreBlocksThanCounted", [](BirdBuilder &b) { b.addLoaderStart(1).setReportedCount(1); }, true, 2},
    {"NoChecksum", [](BirdBuilder &b) { b.omitChecksum(); }, true, 1},
    {"BytesAfterChecksum",
     [](BirdBuilder &b) {
         b.setChecksum(0xFFFFFFFF).appendToStream({1, 2, 3});
     },
     true, 1},
    {"StreamOfTwoBytes", [](BirdBuilder &b) { b.truncateStream(b.stream().size() - 2); }, true, 0},
    {"EmptyStream", [](BirdBuilder &b) { b.truncateStream(b.stream().size()); }, true, 0},
    {"CutInsideABlock", [](BirdBuilder &b) { b.truncateStream(40); }, true, 0},
    {"FirmwareShorterThanItsAddress",
     [](BirdBuilder &b) {
         b.addBlock(1, 0, {0x10, 0x00});
     },
     true, 1},
    {"ShortInformationBlock", [](BirdBuilder &b) { b.blocks()[0].data.resize(20); }, true, 1},
    {"ShortSerialOffsets",
     [](BirdBuilder &b) {
         b.addBlock(2, 0, {0, 0, 0x10, 0x10});
     },
     true, 2},
    {"OffsetsOutsideEveryBlock",
     [](BirdBuilder &b) { b.addFirmware(0x1000, pattern(64)).addSerialOffsets(0x5000, 0x0FF0); }, true, 3},
    {"OffsetsWrapAroundTheAddressSpace",
     [](BirdBuilder &b) { b.addFirmware(0xFFFFFFF0, pattern(12)).addSerialOffsets(0xFFFFFFFE, 0xFFFFFFF8); }, true, 3},
    {"TruncatedZlib", [](BirdBuilder &b) { b.truncateCompressed(7); }, false, 0},
    {"ZlibWithPresetDictionary",
     [](BirdBuilder &b) {
         b.setCompressed({0x78, 0xBB, 0, 0, 0, 1, 0x03, 0x00, 0, 0, 0, 1});
     },
     false, 0},
};

class BirdFileMalformed : public ::testing::TestWithParam<Malformed> {};

TEST_P(BirdFileMalformed, LoadsOrFailsAsDocumented) {
    BirdBuilder builder = BirdBuilder::minimalValid(); // LoadsAMinimalImage shows it loads untouched
    GetParam().apply(builder);
    Bytes file = builder.bytes();
    BirdFile image;
    ASSERT_EQ(image.LoadBuffer(file.data(), file.size()), GetParam().loads);
    EXPECT_EQ(image.GetBlockCount(), GetParam().blocks);
    EXPECT_EQ(image.GetBlocks().size(), GetParam().blocks);
    for (const BirdBlock &block : image.GetBlocks()) {
        ASSERT_GE(block.data, image.GetData());
        ASSERT_LE(block.data + block.length, image.GetData() + image.GetDataSize());
    }
    // Touch everything a flow would; the stream outside firmware payloads must not change.
    Bytes before(image.GetData(), image.GetData() + image.GetDataSize());
    image.ReplaceSerialNumber(0x12345678);
    const uint32_t fingerprint[4] = {1, 2, 3, 4};
    image.DecodeFirmwareBlocks(fingerprint);
    (void)image.GetBuild();
    (void)image.GetVersion();
    (void)image.GetSerialNumber();
    (void)image.ValidateModel("TEST");
    if (GetParam().blocks > 0 && image.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty()) {
        EXPECT_EQ(Bytes(image.GetData(), image.GetData() + image.GetDataSize()), before);
    }
}

INSTANTIATE_TEST_SUITE_P(, BirdFileMalformed, ::testing::ValuesIn(kMalformed),
                         [](const auto &p) { return std::string(p.param.name); });

TEST_F(BirdFileTest, MalformedDetailsHoldTheirDocumentedValues) {
    BirdBuilder shortInfo = BirdBuilder().addInfo(321, "9.9.9", 0xABCD, "M");
    shortInfo.blocks()[0].data.resize(20); // holds the build field only
    BirdFile info = load(shortInfo);
    EXPECT_EQ(info.GetBuild(), 321u);
    EXPECT_EQ(info.GetVersion(), "");
    EXPECT_EQ(info.GetSerialNumber(), 0u);
    EXPECT_FALSE(info.ValidateModel(""));

    BirdFile shortOffsets = load(BirdBuilder().addFirmware(0x1000, pattern(64)).addBlock(2, 0, {0, 0, 0x10, 0x10}));
    EXPECT_TRUE(shortOffsets.HasSerialOffsets());
    EXPECT_EQ(shortOffsets.GetSerialNumberOffset(), 0u);
    EXPECT_FALSE(shortOffsets.ReplaceSerialNumber(0x12345678));

    // Payload at 0xFFFFFFF0..0xFFFFFFFB: in 32 bits both offsets plus their sizes wrap below its end.
    BirdFile wrap = load(BirdBuilder().addFirmware(0xFFFFFFF0, pattern(12)).addSerialOffsets(0xFFFFFFFE, 0xFFFFFFF8));
    Bytes before(wrap.GetData(), wrap.GetData() + wrap.GetDataSize());
    EXPECT_TRUE(wrap.ReplaceSerialNumber(0x12345678)); // a serial offset outside the blocks still counts
    EXPECT_EQ(Bytes(wrap.GetData(), wrap.GetData() + wrap.GetDataSize()), before);
}

TEST_F(BirdFileTest, MovingKeepsBlocksPointingIntoTheStream) {
    BirdFile original = load(BirdBuilder::minimalValid().addFirmware(0x1000, pattern(300)));
    const uint8_t *stream = original.GetData();
    BirdFile moved(std::move(original));
    EXPECT_EQ(moved.GetData(), stream);
    EXPECT_EQ(original.GetBlockCount(), 0u);
    EXPECT_EQ(original.GetData(), nullptr);
    EXPECT_TRUE(original.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty());

    BirdFile assigned = load(BirdBuilder::minimalValid());
    assigned = std::move(moved);
    ASSERT_EQ(assigned.GetBlockCount(), 2u);
    EXPECT_EQ(payloadOf(assigned.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]), pattern(300));
    EXPECT_EQ(assigned.GetVersion(), "1.0.0");
}

// A generic image: one firmware block at 0x1000 with 0x100 payload bytes.
class Personalise : public BirdFileTest {
  protected:
    BirdFile generic(uint32_t serialOffset, uint32_t descriptorOffset) {
        return load(BirdBuilder::minimalValid()
                        .addLoader(0x1000, pattern(0x100, 0x55))
                        .addFirmware(0x1000, pattern(0x100))
                        .addSerialOffsets(serialOffset, descriptorOffset));
    }
    static Bytes firmware(const BirdFile &image) { return payloadOf(image.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]); }
};

TEST_F(Personalise, WritesTheWordLittleEndianAndTheDescriptorInEverySecondByte) {
    BirdFile image = generic(0x1010, 0x1020);
    ASSERT_TRUE(image.HasSerialOffsets());
    EXPECT_EQ(image.GetSerialNumberOffset(), 0x1010u);
    EXPECT_EQ(image.GetSerialDescriptorOffset(), 0x1020u);
    Bytes want = pattern(0x100);
    want[0x10] = 0xCD, want[0x11] = 0xAB, want[0x12] = 0x34, want[0x13] = 0x12;
    const char *text = "1234ABCD";
    for (int i = 0; i < 8; ++i)
        want[0x20 + 2 * i] = static_cast<uint8_t>(text[i]); // odd bytes keep their values
    Bytes infoBefore = payloadOf(image.FindBlocks(BirdFile::BLOCK_INFO)[0]);

    LogCapture log(DEBUG_BirdFile);
    ASSERT_TRUE(image.ReplaceSerialNumber(0x1234ABCD));
    EXPECT_EQ(firmware(image), want);
    EXPECT_EQ(payloadOf(image.FindBlocks(BirdFile::BLOCK_LOADER)[0]), pattern(0x100, 0x55)); // same address range
    EXPECT_EQ(payloadOf(image.FindBlocks(BirdFile::BLOCK_INFO)[0]), infoBefore);
    char line[80];
    snprintf(line, sizeof line, "BIRDFILE: updating serial number from %02X%02X%02X%02X ==> 1234ABCD\n",
             pattern(0x100)[0x13], pattern(0x100)[0x12], pattern(0x100)[0x11], pattern(0x100)[0x10]);
    EXPECT_NE(log.text().find(line), std::string::npos) << log.text();
}

TEST_F(Personalise, OffsetsAtTheBlockBoundaries) {
    struct Case {
        const char *name;
        uint32_t serial, descriptor;
        bool result;
        int wordAt, textAt;
    };
    const Case cases[] = {
        {"wordAtFirstByte", 0x1000, 0, true, 0x00, -1},      {"wordEndsAtPayloadEnd", 0x10FC, 0, true, 0xFC, -1},
        {"wordOneBytePastEnd", 0x10FD, 0, true, -1, -1},     {"wordBeforeBlock", 0x0FFF, 0, true, -1, -1},
        {"textEndsAtPayloadEnd", 0, 0x10F0, true, -1, 0xF0}, {"textOneBytePastEnd", 0, 0x10F1, false, -1, -1},
        {"textBeforeBlock", 0, 0x0FFE, false, -1, -1},       {"noOffsets", 0, 0, false, -1, -1},
    };
    for (const Case &c : cases) {
        BirdFile image = generic(c.serial, c.descriptor);
        EXPECT_EQ(image.ReplaceSerialNumber(0x0A0B0C0D), c.result) << c.name;
        Bytes want = pattern(0x100);
        if (c.wordAt >= 0)
            want[c.wordAt] = 0x0D, want[c.wordAt + 1] = 0x0C, want[c.wordAt + 2] = 0x0B, want[c.wordAt + 3] = 0x0A;
        if (c.textAt >= 0)
            for (int i = 0; i < 8; ++i)
                want[c.textAt + 2 * i] = static_cast<uint8_t>("0A0B0C0D"[i]);
        EXPECT_EQ(firmware(image), want) << c.name;
    }
}

TEST_F(Personalise, EveryFirmwareBlockHoldingTheAddressIsPatched) {
    BirdFile image = load(
        BirdBuilder().addFirmware(0x2000, pattern(16)).addFirmware(0x2000, pattern(16, 9)).addSerialOffsets(0x2004, 0));
    ASSERT_TRUE(image.ReplaceSerialNumber(0x11223344));
    for (const BirdBlock &block : image.FindBlocks(BirdFile::BLOCK_FIRMWARE))
        EXPECT_EQ(Bytes(block.data + 8, block.data + 12), (Bytes{0x44, 0x33, 0x22, 0x11}));
}

TEST_F(Personalise, WithoutFirmwareBlocksNothingIsDone) {
    BirdFile image =
        load(BirdBuilder::minimalValid().addLoader(0x1000, pattern(0x40)).addSerialOffsets(0x1010, 0x1020));
    EXPECT_FALSE(image.ReplaceSerialNumber(0x1234ABCD));
    EXPECT_EQ(payloadOf(image.FindBlocks(BirdFile::BLOCK_LOADER)[0]), pattern(0x40));
}

TEST_F(BirdFileTest, DecodingUsesTheFingerprintBytesMostSignificantFirst) {
    const uint32_t fingerprint[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
    // Zeros encode to the key itself, so this pins the key order and its wrap after 16 bytes.
    Bytes keyTwice{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 1, 2, 3, 4};
    EXPECT_EQ(BirdBuilder::encodePayload(Bytes(20, 0), fingerprint), keyTwice);

    BirdFile image = load(BirdBuilder::minimalValid().addLoader(0x10, keyTwice).addFirmware(0xABCD0000, keyTwice));
    Bytes infoBefore = payloadOf(image.FindBlocks(BirdFile::BLOCK_INFO)[0]);
    EXPECT_TRUE(image.DecodeFirmwareBlocks(fingerprint));
    BirdBlock fw = image.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0];
    EXPECT_EQ(payloadOf(fw), Bytes(20, 0));
    EXPECT_EQ(Bytes(fw.data, fw.data + 4), (Bytes{0xAB, 0xCD, 0, 0})); // address untouched
    EXPECT_EQ(payloadOf(image.FindBlocks(BirdFile::BLOCK_LOADER)[0]), keyTwice);
    EXPECT_EQ(payloadOf(image.FindBlocks(BirdFile::BLOCK_INFO)[0]), infoBefore);
}

TEST_F(BirdFileTest, DecodingRestoresWhatWasEncodedForTheSameChip) {
    const uint32_t fingerprint[4] = {0xDEADBEEF, 0x0BADF00D, 0x8BADF00D, 0xFEEDFACE};
    const uint32_t otherChip[4] = {0xDEADBEEF, 0x0BADF00D, 0x8BADF00D, 0xFEEDFACF};
    for (size_t length : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{20}, size_t{4096}}) {
        Bytes plain = pattern(length, static_cast<uint8_t>(length));
        BirdBuilder builder;
        builder.addEncodedFirmware(0x1000, plain, fingerprint).addEncodedFirmware(0x9000, pattern(33), fingerprint);
        BirdFile image = load(builder);
        image.DecodeFirmwareBlocks(fingerprint);
        std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_FIRMWARE);
        EXPECT_EQ(payloadOf(blocks[0]), plain) << length;
        EXPECT_EQ(payloadOf(blocks[1]), pattern(33)) << "each block restarts the chain";

        BirdFile wrongChip = load(builder);
        wrongChip.DecodeFirmwareBlocks(otherChip);
        if (length >= 16) {
            EXPECT_NE(payloadOf(wrongChip.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]), plain) << length;
        }
    }
}

} // namespace
