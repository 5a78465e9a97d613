#include "aVersion.h"

#include <gtest/gtest.h>
#include <string>

namespace {

std::string sText(uint32_t v) {
    char buffer[32];
    int n = aVersion_ParseString(v, buffer, sizeof buffer);
    EXPECT_EQ(n, static_cast<int>(std::string(buffer).size()));
    return buffer;
}

TEST(Version, PackedWordsInBothLayouts) {
    struct Case {
        uint32_t word;
        bool legacy;
        uint32_t major, minor, patch;
        const char *text;
    };
    const Case cases[] = {
        {0x2F020A05, false, 2, 10, 5, "2.10.5"},
        {0x21000007, true, 2, 1, 7, "2.1.7"},
        {0x2E000009, true, 2, 14, 9, "2.14.9"},
        {0x2F020F09, false, 2, 15, 9, "2.15.9"},
        {0x10ABCDEF, true, 1, 0, 0xABCDEF, "1.0.11259375"}, // legacy patch has 24 bits
        {0x2FFFFFFF, false, 255, 255, 255, "255.255.255"},
        {0x00000000, true, 0, 0, 0, "0.0.0"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(aVersion_IsLegacyFormat(c.word), c.legacy) << std::hex << c.word;
        EXPECT_EQ(aVersion_ParseMajor(c.word), c.major) << std::hex << c.word;
        EXPECT_EQ(aVersion_ParseMinor(c.word), c.minor) << std::hex << c.word;
        EXPECT_EQ(aVersion_ParsePatch(c.word), c.patch) << std::hex << c.word;
        EXPECT_EQ(sText(c.word), c.text);
    }
}

TEST(Version, PackPicksTheLayoutAt2Point15) {
    EXPECT_EQ(aVersion_Pack(2, 14, 9), 0x2E000009u);
    EXPECT_EQ(aVersion_Pack(2, 15, 9), 0x2F020F09u);
    EXPECT_EQ(aVersion_Pack(3, 0, 1), 0x2F030001u);
    EXPECT_EQ(aVersion_Pack(1, 15, 200), 0x1F0000C8u);
    EXPECT_EQ(aVersion_Pack(1, 0x13, 0), 0x13000000u); // legacy minor keeps 4 bits
    EXPECT_EQ(sText(aVersion_Pack(7, 3, 250)), "7.3.250");
}

TEST(Version, ParseStringReportsTruncation) {
    char small[4];
    EXPECT_EQ(aVersion_ParseString(0x2F020A05, small, sizeof small), 6);
    EXPECT_STREQ(small, "2.1");
}

TEST(Version, LibraryVersionAndFeatures) {
    EXPECT_STREQ(aVersion_GetString(), "2.12.1");
    EXPECT_EQ(aVersion_GetString(), aVersion_GetString());
    EXPECT_EQ(aVersion_GetMajor(), 2);
    EXPECT_EQ(aVersion_GetMinor(), 12);
    EXPECT_EQ(aVersion_GetPatch(), 1);
    EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 1));
    EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 9));
    EXPECT_TRUE(aVersion_IsAtLeast(1, 99, 99));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 2));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 13, 0));
    EXPECT_FALSE(aVersion_IsAtLeast(3, 0, 0));

    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("version"));
    EXPECT_FALSE(aVersion_HasFeature("VERSIONS"));
    EXPECT_FALSE(aVersion_HasFeature(nullptr));

    char *list = aVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    aVersion_DestroyFeatureList(&list);
    EXPECT_EQ(list, nullptr);
}

} // namespace
