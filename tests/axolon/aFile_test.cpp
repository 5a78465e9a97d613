#include "aFile.h"

#include "TempDir.h"

#include <gtest/gtest.h>
#include <string>

namespace {

struct FileTest : ::testing::Test {
    TempDir dir;
    aFileRef file = nullptr;
    void TearDown() override {
        if (file != nullptr)
            aFile_Close(&file);
    }
    aFileRef open(const std::string &name, unsigned mode) {
        file = aFile_Open(dir.file(name).c_str(), mode);
        return file;
    }
};

TEST_F(FileTest, ReadLineFitsUpToOneLessThanTheBuffer) {
    std::string fits(2046, 'a'), tooLong(3000, 'b');
    writeFile(dir.file("lines"), fits + "\n" + tooLong + "\nend");
    ASSERT_NE(open("lines", aFileModeRead), nullptr);
    char buffer[2048];
    size_t length = 99;

    EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrNone);
    EXPECT_EQ(length, 2047u);
    EXPECT_EQ(std::string(buffer), fits + "\n");

    EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrOverrun);
    EXPECT_EQ(length, 2047u);
    EXPECT_EQ(std::string(buffer), std::string(2047, 'b'));
    EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrNone); // the rest of it
    EXPECT_EQ(std::string(buffer), std::string(953, 'b') + "\n");

    EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrNone);
    EXPECT_STREQ(buffer, "end");
    EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrEOF);
    EXPECT_EQ(length, 0u);
    EXPECT_STREQ(buffer, "");
}

TEST_F(FileTest, ReadLineTakesAnExactlyFittingLastLineWhole) {
    writeFile(dir.file("last"), "abc");
    ASSERT_NE(open("last", aFileModeRead), nullptr);
    char buffer[4];
    size_t length = 0;
    EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrNone);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrEOF);
}

TEST_F(FileTest, SeekStaysInsideTheFile) {
    writeFile(dir.file("ten"), "0123456789");
    ASSERT_NE(open("ten", aFileModeRead), nullptr);
    struct Case {
        long offset;
        int origin;
        aErr expected;
        char byteAfter; // byte read at the resulting position; 0 for end of file
    };
    const Case cases[] = {
        {0, aSeekEnd, aErrNone, 0},       {1, aSeekEnd, aErrRange, 0},      {-10, aSeekEnd, aErrNone, '0'},
        {-11, aSeekEnd, aErrRange, 0},    {3, aSeekStart, aErrNone, '3'},   {10, aSeekStart, aErrNone, 0},
        {11, aSeekStart, aErrRange, 0},   {-1, aSeekStart, aErrRange, 0},   {4, aSeekCurrent, aErrNone, '4'},
        {-1, aSeekCurrent, aErrRange, 0}, {11, aSeekCurrent, aErrRange, 0}, {0, 3, aErrParam, 0},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(aFile_Seek(file, 0, aSeekStart), aErrNone);
        EXPECT_EQ(aFile_Seek(file, c.offset, c.origin), c.expected) << c.offset << " from " << c.origin;
        char byte = 0;
        size_t count = 0;
        aErr read = aFile_Read(file, &byte, 1, &count);
        if (c.expected != aErrNone) // refused: still at the start
            EXPECT_EQ(byte, '0') << c.offset << " from " << c.origin;
        else if (c.byteAfter == 0)
            EXPECT_EQ(read, aErrEOF) << c.offset << " from " << c.origin;
        else
            EXPECT_EQ(byte, c.byteAfter) << c.offset << " from " << c.origin;
    }
    size_t size = 0;
    ASSERT_EQ(aFile_Seek(file, 2, aSeekStart), aErrNone);
    EXPECT_EQ(aFile_GetSize(file, &size), aErrNone);
    EXPECT_EQ(size, 10u);
    char byte = 0;
    EXPECT_EQ(aFile_Read(file, &byte, 1, nullptr), aErrNone);
    EXPECT_EQ(byte, '2') << "GetSize must keep the position";
}

TEST_F(FileTest, ModesGuardReadsAndWrites) {
    char buffer[4] = {};
    size_t count = 7;
    ASSERT_NE(open("w", aFileModeWrite), nullptr);
    EXPECT_EQ(aFile_Read(file, buffer, 1, &count), aErrMode);
    EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, nullptr), aErrMode);
    EXPECT_EQ(aFile_Write(file, "hi", 2, &count), aErrNone);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(aFile_Printf(file, "-%d", 42), aErrNone);
    ASSERT_EQ(aFile_Close(&file), aErrNone);
    EXPECT_EQ(readFile(dir.file("w")), "hi-42");

    ASSERT_NE(open("w", aFileModeRead), nullptr);
    EXPECT_EQ(aFile_Write(file, "x", 1, &count), aErrMode);
    EXPECT_EQ(aFile_Printf(file, "x"), aErrMode);
    EXPECT_EQ(aFile_SetUnbuffered(file), aErrMode);
    EXPECT_EQ(aFile_Read(file, buffer, sizeof buffer, &count), aErrNone);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(aFile_Read(file, buffer, sizeof buffer, &count), aErrNone);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(aFile_Read(file, buffer, sizeof buffer, &count), aErrEOF);
    EXPECT_EQ(count, 0u);
}

TEST_F(FileTest, AppendWritesAtTheEndAndReadsBack) {
    writeFile(dir.file("log"), "one\n");
    ASSERT_NE(open("log", aFileModeAppend), nullptr);
    EXPECT_EQ(aFile_Write(file, "two\n", 4, nullptr), aErrNone);
    ASSERT_EQ(aFile_Seek(file, 0, aSeekStart), aErrNone);
    char line[16];
    EXPECT_EQ(aFile_ReadLine(file, line, sizeof line, nullptr), aErrNone);
    EXPECT_STREQ(line, "one\n");
    // Switching from reading to writing without a seek in between must still append.
    EXPECT_EQ(aFile_Printf(file, "three\n"), aErrNone);
    ASSERT_EQ(aFile_Close(&file), aErrNone);
    EXPECT_EQ(readFile(dir.file("log")), "one\ntwo\nthree\n");
}

TEST_F(FileTest, OpenRefusesBadArguments) {
    writeFile(dir.file("f"), "x");
    EXPECT_EQ(aFile_Open(nullptr, aFileModeRead), nullptr);
    EXPECT_EQ(aFile_Open("", aFileModeRead), nullptr);
    EXPECT_EQ(aFile_Open(dir.file("f").c_str(), 3), nullptr);
    EXPECT_EQ(aFile_Open(dir.file("missing").c_str(), aFileModeRead), nullptr);
    EXPECT_EQ(aFile_Open((dir.path() + "/" + std::string(4100, 'n')).c_str(), aFileModeWrite), nullptr);
    EXPECT_EQ(aFile_Open(dir.file("nodir/f").c_str(), aFileModeAppend), nullptr);
}

TEST_F(FileTest, ExistsOnlyForThingsThatAreNotDirectories) {
    writeFile(dir.file("f"), "");
    EXPECT_TRUE(aFile_Exists(dir.file("f").c_str()));
    EXPECT_FALSE(aFile_Exists(dir.path().c_str()));
    EXPECT_FALSE(aFile_Exists(dir.file("missing").c_str()));
    EXPECT_FALSE(aFile_Exists(nullptr));
    EXPECT_FALSE(aFile_Exists(std::string(5000, 'a').c_str()));
}

TEST_F(FileTest, AClosedHandleIsRefused) {
    ASSERT_NE(open("c", aFileModeWrite), nullptr);
    EXPECT_EQ(aFile_Close(&file), aErrNone);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(aFile_Close(&file), aErrParam);
    EXPECT_EQ(aFile_Close(nullptr), aErrParam);
    char byte = 0;
    size_t size = 0;
    EXPECT_EQ(aFile_Read(file, &byte, 1, nullptr), aErrParam);
    EXPECT_EQ(aFile_Write(file, &byte, 1, nullptr), aErrParam);
    EXPECT_EQ(aFile_Seek(file, 0, aSeekStart), aErrParam);
    EXPECT_EQ(aFile_GetSize(file, &size), aErrParam);
    EXPECT_EQ(aFile_ReadLine(file, &byte, 1, nullptr), aErrParam);
    EXPECT_EQ(aFile_Printf(file, "x"), aErrParam);
    EXPECT_EQ(aFile_SetUnbuffered(file), aErrParam);
}

} // namespace
