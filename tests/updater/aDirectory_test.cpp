#include "aDirectory.h"
#include "path.h"

#include "TempDir.h"

#include <gtest/gtest.h>
#include <set>
#include <string>
#include <sys/stat.h>

TEST(BuildPath, JoinsWithoutFoldingSeparators) {
    EXPECT_EQ(BuildPath("a/", "b", "c", nullptr), "a//b/c");
    EXPECT_EQ(BuildPath("/home/u", ".tervane", nullptr), "/home/u/.tervane");
    EXPECT_EQ(BuildPath("only", nullptr), "only");
}

TEST(JoinPath, AddsOneSlashOnlyWhenNeeded) {
    struct Case {
        const char *dir, *name, *want;
    };
    const Case cases[] = {{"a", "b", "a/b"}, {"a/", "b", "a/b"}, {"a", "/b", "a/b"}, {"a/", "/b", "a//b"}};
    for (const Case &c : cases) {
        char buffer[64];
        ASSERT_EQ(aDirectory_JoinPath(buffer, sizeof buffer, c.dir, c.name), aErrNone);
        EXPECT_STREQ(buffer, c.want) << c.dir << " + " << c.name;
    }
    char small[4];
    EXPECT_EQ(aDirectory_JoinPath(small, sizeof small, "abc", "d"), aErrOverrun);
}

TEST(Ensure, CreatesEveryMissingLevelAndAcceptsExisting) {
    TempDir tmp;
    std::string deep = tmp.file("x/y/z");
    EXPECT_FALSE(aDirectory_Exists(deep.c_str()));
    ASSERT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);
    EXPECT_TRUE(aDirectory_Exists(deep.c_str()));
    struct stat st;
    ASSERT_EQ(stat(tmp.file("x").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);
}

TEST(Ensure, RefusesAPathThroughAFile) {
    TempDir tmp;
    writeFile(tmp.file("plain"), "x");
    EXPECT_FALSE(aDirectory_Exists(tmp.file("plain").c_str()));
    EXPECT_EQ(aDirectory_Ensure(tmp.file("plain").c_str(), 0755), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure(tmp.file("plain/sub").c_str(), 0755), aErrPermission);
}

TEST(List, ReportsEveryEntryWithFlagsAndStopsOnRequest) {
    TempDir tmp;
    writeFile(tmp.file("f"), "12345");
    ASSERT_EQ(aDirectory_Ensure(tmp.file("d").c_str(), 0755), aErrNone);
    std::set<std::string> seen;
    auto collect = [](const aDirectoryListData *e, void *ctx) {
        std::string p(e->fullPath);
        std::string name = p.substr(p.rfind('/') + 1);
        // Built by appending: GCC 12 at -O3 warns falsely on chained string + here.
        std::string row = name;
        row.append(":").append(std::to_string(e->isDirectory));
        if (!e->isDirectory)
            row.append(":").append(std::to_string(e->size));
        static_cast<std::set<std::string> *>(ctx)->insert(row);
        return true;
    };
    ASSERT_EQ(aDirectory_List(tmp.path().c_str(), collect, &seen), aErrNone);
    EXPECT_EQ(seen, (std::set<std::string>{".:1", "..:1", "d:1", "f:0:5"}));

    int calls = 0;
    auto stop = [](const aDirectoryListData *, void *ctx) {
        ++*static_cast<int *>(ctx);
        return false;
    };
    ASSERT_EQ(aDirectory_List(tmp.path().c_str(), stop, &calls), aErrNone);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(aDirectory_List(tmp.file("missing").c_str(), stop, &calls), aErrNotFound);
}

TEST(HomeDirectory, FitsOrIsRefused) {
    char buffer[2048];
    ASSERT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof buffer), aErrNone);
    EXPECT_TRUE(aDirectory_Exists(buffer)) << buffer;
    char tiny[1];
    EXPECT_NE(aDirectory_GetHomeDirectory(tiny, sizeof tiny), aErrNone);
}
