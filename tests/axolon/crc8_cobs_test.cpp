#include "cobs.h"
#include "crc8.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

std::vector<uint8_t> bytesOf(const char *text) { return std::vector<uint8_t>(text, text + std::strlen(text)); }

// A plain out-of-place encoder, written separately so the in-place one is
// checked against something other than itself.
std::vector<uint8_t> referenceEncode(const std::vector<uint8_t> &in) {
    std::vector<uint8_t> out{0};
    size_t codePos = 0;
    uint8_t code = 1;
    for (uint8_t b : in) {
        if (b == 0) {
            out[codePos] = code;
            codePos = out.size();
            out.push_back(0);
            code = 1;
            continue;
        }
        out.push_back(b);
        if (++code == 0xFF) {
            out[codePos] = code;
            codePos = out.size();
            out.push_back(0);
            code = 1;
        }
    }
    out[codePos] = code;
    return out;
}

} // namespace

TEST(Crc8, CheckValues) {
    auto digits = bytesOf("123456789");
    auto abc = bytesOf("abc");
    EXPECT_EQ(crc8_create(digits.data(), digits.size()), 0xA1);
    EXPECT_EQ(crc8_create(abc.data(), abc.size()), 0x42);
    EXPECT_TRUE(crc8_check(abc.data(), abc.size(), 0x42));
    EXPECT_FALSE(crc8_check(abc.data(), abc.size(), 0x43));
    uint8_t crc = 0;
    for (uint8_t b : digits)
        crc = crc8_update(crc, b);
    EXPECT_EQ(crc, 0xA1);
}

TEST(Crc8, PacketsOfTheFramingVectors) {
    const uint8_t empty[] = {0x04, 0x00};
    const uint8_t two[] = {0x06, 0x02, 0x00, 0x01};
    EXPECT_EQ(crc8_create(empty, sizeof empty), 0x3B);
    EXPECT_EQ(crc8_create(two, sizeof two), 0x18);
}

TEST(Cobs, GoldenFrames) {
    uint8_t a[8] = {0x04, 0x00, 0x3B};
    ASSERT_EQ(cobs_encode_inplace(a, 3), 4u);
    EXPECT_EQ(std::vector<uint8_t>(a, a + 4), (std::vector<uint8_t>{0x02, 0x04, 0x02, 0x3B}));
    uint8_t b[8] = {0x06, 0x02, 0x00, 0x01, 0x18};
    ASSERT_EQ(cobs_encode_inplace(b, 5), 6u);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 6), (std::vector<uint8_t>{0x03, 0x06, 0x02, 0x03, 0x01, 0x18}));
    ASSERT_EQ(cobs_decode_inplace(b, 6), 5u);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 5), (std::vector<uint8_t>{0x06, 0x02, 0x00, 0x01, 0x18}));
}

TEST(Cobs, InPlaceEncodingMatchesAPlainEncoderAndRoundTrips) {
    std::mt19937 rng(7);
    for (size_t length : {0u, 1u, 30u, 253u, 254u, 255u, 508u, 600u}) {
        for (int zeroEvery : {0, 3, 300}) {
            std::vector<uint8_t> in(length);
            for (size_t i = 0; i < length; ++i)
                in[i] = (zeroEvery && rng() % zeroEvery == 0) ? 0 : static_cast<uint8_t>(1 + rng() % 255);
            std::vector<uint8_t> buffer(in);
            buffer.resize(length + 2 + length / 254);
            const size_t n = cobs_encode_inplace(buffer.data(), length);
            buffer.resize(n);
            EXPECT_EQ(buffer, referenceEncode(in)) << length;
            for (uint8_t b : buffer)
                EXPECT_NE(b, 0);
            std::vector<uint8_t> out(n);
            const size_t decoded = cobs_decode(buffer.data(), n, out.data());
            out.resize(decoded);
            EXPECT_EQ(out, in) << length;
        }
    }
}

TEST(Cobs, CodeBytePastTheEndDecodesToNothing) {
    const uint8_t bad[] = {0x05, 0x01, 0x02};
    uint8_t out[8];
    EXPECT_EQ(cobs_decode(bad, sizeof bad, out), 0u);
    const uint8_t zeroInside[] = {0x03, 0x00, 0x02};
    EXPECT_EQ(cobs_decode(zeroInside, sizeof zeroInside, out), 0u);
}
