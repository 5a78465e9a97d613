#include "UpdaterStore.h"

#include "BirdBuilder.h"
#include "LogCapture.h"
#include "TempDir.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <stdexcept>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Names of a directory in the order the system lists them, "." and ".." left out.
std::vector<std::string> listingOrder(const std::string &directory) {
    std::vector<std::string> names;
    DIR *dir = opendir(directory.c_str());
    if (dir == nullptr)
        return names;
    while (struct dirent *entry = readdir(dir))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    closedir(dir);
    return names;
}

std::set<std::string> namesIn(const std::string &directory) {
    std::vector<std::string> names = listingOrder(directory);
    return {names.begin(), names.end()};
}

std::string throwText(const std::function<void()> &action) {
    try {
        action();
    } catch (const std::runtime_error &e) {
        return e.what();
    }
    return "(nothing thrown)";
}

TEST(UpdaterStore, CreatesBaseAndDeviceWithItsSettings) {
    TempDir home;
    std::string base = home.file(".tervane/updater");
    UpdaterStore store(base.c_str());
    EXPECT_TRUE(fs::is_directory(base));
    EXPECT_EQ(store.BasePath(), base);

    UpdaterStoreItem device = store.AddDevice(0x1234ABCDu);
    EXPECT_TRUE(fs::is_directory(base + "/1234ABCD"));
    EXPECT_EQ(device.Path(), base);
    EXPECT_EQ(device.Name(), "1234ABCD");
    EXPECT_EQ(device.Kind(), STORE_ITEM_DIRECTORY);
    EXPECT_TRUE(device.IsValid());
    std::string settings = readFile(base + "/1234ABCD/.settings");
    EXPECT_EQ(settings.rfind("CREATED_TIME=", 0), 0u) << settings;
    EXPECT_NE(settings.find("\nUPDATED_TIME="), std::string::npos) << settings;
    EXPECT_EQ(fs::status(base + "/1234ABCD").permissions() & fs::perms::all,
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                  fs::perms::others_exec);

    device.Settings().Add("LATEST_DOWNLOAD", "100.bird");
    device.Settings().Save();
    UpdaterStoreItem again = store.AddDevice("1234ABCD"); // harmless: same directory, same history
    EXPECT_EQ(again.Settings().GetInt("LATEST_DOWNLOAD", 0), 100);
    EXPECT_EQ(again.Settings().GetString("CREATED_TIME"), device.Settings().GetString("CREATED_TIME"));
}

TEST(UpdaterStore, RefusesPathsThatCannotBeDirectories) {
    TempDir tmp;
    writeFile(tmp.file("plain"), "x");
    std::string plain = tmp.file("plain");
    EXPECT_EQ(throwText([&] { UpdaterStore store(plain.c_str()); }),
              "UpdaterStore: " + plain + " exists and is a file");
    std::string below = plain + "/store";
    EXPECT_EQ(throwText([&] { UpdaterStore store(below.c_str()); }),
              "UpdaterStore: Could not create directory " + below + " error 12");

    UpdaterStore store(tmp.path().c_str());
    writeFile(tmp.file("0000BEEF"), "not a directory");
    EXPECT_EQ(throwText([&] { store.AddDevice(0xBEEFu); }),
              "UpdaterStore: " + tmp.file("0000BEEF") + " exists and is a file");
}

TEST(UpdaterStore, FindDeviceMatchesPartOfTheNameAndTakesTheFirstListed) {
    TempDir tmp;
    UpdaterStore store(tmp.path().c_str());
    UpdaterStoreItem item;
    EXPECT_FALSE(store.FindDevice(0x1234ABCDu, &item));
    EXPECT_EQ(item.Kind(), STORE_ITEM_UNSET);

    fs::create_directory(tmp.file("X1234ABCDY"));
    writeFile(tmp.file("X1234ABCDY/.settings"), "LATEST_DOWNLOAD=100.bird\n");
    fs::create_directory(tmp.file("1234abcd")); // "%08X" is upper case
    ASSERT_TRUE(store.FindDevice(0x1234ABCDu, &item));
    EXPECT_EQ(item.Path(), tmp.path());
    EXPECT_EQ(item.Name(), "X1234ABCDY");
    EXPECT_EQ(item.Kind(), STORE_ITEM_DIRECTORY);
    EXPECT_EQ(item.Settings().GetInt("LATEST_DOWNLOAD", 0), 100); // loaded with the match
    EXPECT_TRUE(store.FindDevice("1234ABCD", nullptr));

    fs::create_directory(tmp.file("1234ABCD"));
    writeFile(tmp.file("old-1234ABCD.txt"), "a file");
    std::vector<std::string> order = listingOrder(tmp.path());
    auto first = std::find_if(order.begin(), order.end(),
                              [](const std::string &n) { return n.find("1234ABCD") != std::string::npos; });
    ASSERT_TRUE(store.FindDevice(0x1234ABCDu, &item));
    EXPECT_EQ(item.Name(), *first);
    EXPECT_EQ(item.Kind(), *first == "old-1234ABCD.txt" ? STORE_ITEM_FILE : STORE_ITEM_DIRECTORY);

    ASSERT_TRUE(store.FindDevice("old-", &item));
    EXPECT_EQ(item.Kind(), STORE_ITEM_FILE);

    TempDir empty; // holds only "." and "..", which never match
    UpdaterStore emptyStore(empty.path().c_str());
    EXPECT_FALSE(emptyStore.FindDevice(".", nullptr));
    EXPECT_FALSE(emptyStore.FindDevice("", nullptr));
}

TEST(UpdaterStore, FindDeviceLooksAtEntryNamesNotTheBasePath) {
    TempDir tmp;
    std::string base = tmp.file("1234ABCD-store");
    UpdaterStore store(base.c_str());
    store.AddDevice(0x0000BEEFu);
    UpdaterStoreItem item;
    EXPECT_FALSE(store.FindDevice(0x1234ABCDu, &item));
    std::vector<UpdaterStoreItem> items;
    EXPECT_TRUE(store.FindLocalBuilds(0x1234ABCDu, items));
    EXPECT_TRUE(items.empty());
}

TEST(UpdaterStore, FindLocalBuildsListsVisibleEntriesInListingOrder) {
    TempDir tmp;
    UpdaterStore store(tmp.path().c_str());
    UpdaterStoreItem device = store.AddDevice(0x1234ABCDu);
    std::string dir = tmp.file("1234ABCD");
    BirdBuilder::minimalValid().writeTo(dir + "/100.bird");
    BirdBuilder::minimalValid().writeTo(dir + "/200.bird");
    writeFile(dir + "/.100.bird.tmp77.0", "left by a killed download");
    fs::create_directory(dir + "/old");

    std::vector<UpdaterStoreItem> items(1); // appended to, not replaced
    ASSERT_TRUE(store.FindLocalBuilds(0x1234ABCDu, items));
    std::vector<std::string> want;
    for (const std::string &name : listingOrder(dir))
        if (name[0] != '.')
            want.push_back(name);
    ASSERT_EQ(items.size(), 1 + want.size());
    EXPECT_EQ(items[0].Kind(), STORE_ITEM_UNSET);
    for (size_t i = 0; i < want.size(); ++i) {
        const UpdaterStoreItem &item = items[i + 1];
        EXPECT_EQ(item.Name(), want[i]);
        EXPECT_EQ(item.Path(), dir);
        EXPECT_EQ(item.Kind(), want[i] == "old" ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE) << want[i];
    }
    // Items for images bind settings below a file: nothing may appear beside the images.
    EXPECT_EQ(namesIn(dir), (std::set<std::string>{".settings", ".100.bird.tmp77.0", "100.bird", "200.bird", "old"}));

    std::vector<UpdaterStoreItem> none(2);
    EXPECT_TRUE(store.FindLocalBuilds(0x0BADF00Du, none));
    EXPECT_EQ(none.size(), 2u);
}

TEST(UpdaterStoreItem, WriteFileReplacesWholeFilesAndRefusesNullData) {
    TempDir tmp;
    UpdaterStore store(tmp.path().c_str());
    UpdaterStoreItem device = store.AddDevice(0x1234ABCDu);
    std::string target = tmp.file("1234ABCD/100.bird");
    const unsigned char bytes[] = "first contents, longer than the second";
    EXPECT_EQ(device.WriteFile("100.bird", nullptr, 10), aErrNotFound);
    EXPECT_FALSE(fs::exists(target));
    EXPECT_EQ(device.WriteFile("100.bird", bytes, sizeof bytes - 1), aErrNone);
    EXPECT_EQ(readFile(target), std::string(reinterpret_cast<const char *>(bytes)));
    EXPECT_EQ(device.WriteFile("100.bird", reinterpret_cast<const unsigned char *>("second"), 6), aErrNone);
    EXPECT_EQ(readFile(target), "second");
    EXPECT_EQ(namesIn(tmp.file("1234ABCD")), (std::set<std::string>{".settings", "100.bird"}));

    UpdaterStoreItem gone(tmp.path().c_str(), "00000001", STORE_ITEM_DIRECTORY); // no such directory
    EXPECT_EQ(gone.WriteFile("1.bird", bytes, 4), aErrNotFound);
}

TEST(UpdaterStoreItem, WriteFileLeavesWhatCannotBeOpenedForWriting) {
    TempDir tmp;
    UpdaterStore store(tmp.path().c_str());
    UpdaterStoreItem device = store.AddDevice(0x1234ABCDu);
    fs::create_directory(tmp.file("1234ABCD/100.bird"));
    writeFile(tmp.file("1234ABCD/100.bird/keep"), "x");
    const unsigned char bytes[] = "image";
    EXPECT_EQ(device.WriteFile("100.bird", bytes, 5), aErrNotFound);
    EXPECT_EQ(readFile(tmp.file("1234ABCD/100.bird/keep")), "x");
    EXPECT_EQ(namesIn(tmp.file("1234ABCD")), (std::set<std::string>{".settings", "100.bird"}));

    // An unset item names no directory; its path/name/file would be at the filesystem root.
    UpdaterStoreItem unset;
    std::string name = "updater-store-test-" + std::to_string(getpid()) + ".bird";
    EXPECT_EQ(unset.WriteFile(name.c_str(), bytes, 5), aErrNotFound);
    std::error_code ignored;
    EXPECT_FALSE(fs::remove("/" + name, ignored));
}

TEST(UpdaterStore, LogsDirectoriesAndSearches) {
    TempDir tmp;
    std::string base = tmp.file("store");
    LogCapture log(DEBUG_Updater);
    UpdaterStore store(base.c_str());
    UpdaterStore again(base.c_str());
    store.AddDevice(0x1234ABCDu);
    store.FindDevice(0x1234ABCDu, nullptr);
    store.FindDevice(0x0BADF00Du, nullptr);
    std::vector<UpdaterStoreItem> items;
    writeFile(base + "/1234ABCD/100.bird", "x");
    store.FindLocalBuilds(0x1234ABCDu, items);
    std::string text = log.text();
    for (const std::string &line : std::vector<std::string>{
             "UpdaterStore: Created directory [" + base + "].\n",
             "UpdaterStore: [" + base + "] already exists.\n",
             "UpdaterStore: Created directory [" + base + "/1234ABCD].\n",
             "_find_item([" + base + "/1234ABCD], 1, ",
             std::string(") searching for 1234ABCD\n"),
             "UpdaterStore: FindDevice Found 1234ABCD.\n",
             "UpdaterStore: FindDevice Not Found 0BADF00D.\n",
             "_find_items([" + base + "/1234ABCD/100.bird], 0, 1)\n",
         })
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
}

TEST(UpdaterStoreItem, ReadBirdFileChecksTheHeaderFirst) {
    TempDir tmp;
    UpdaterStore store(tmp.path().c_str());
    UpdaterStoreItem device = store.AddDevice(0x1234ABCDu);
    std::string dir = tmp.file("1234ABCD");
    BirdBuilder().addInfo(100, "3.1.4", 0x1234ABCD, "M").writeTo(dir + "/100.bird");
    BirdBuilder::minimalValid().setVersion(1, 0).writeTo(dir + "/101.bird");
    writeFile(dir + "/102.bird", std::string("bird\x01\x01", 6) + "garbage after a good header");

    BirdFile image = device.ReadBirdFile("100.bird");
    EXPECT_EQ(image.GetVersion(), "3.1.4");
    EXPECT_EQ(throwText([&] { device.ReadBirdFile("101.bird"); }), "Invalid bird " + dir + "/101.bird");
    EXPECT_EQ(throwText([&] { device.ReadBirdFile("999.bird"); }), "Invalid bird " + dir + "/999.bird");
    EXPECT_EQ(throwText([&] { device.ReadBirdFile("102.bird"); }), "Failed to load bird data");
}

TEST(UpdaterStoreItem, DefaultAndCopiedItems) {
    UpdaterStoreItem unset;
    EXPECT_EQ(unset.Kind(), STORE_ITEM_UNSET);
    EXPECT_FALSE(unset.IsValid());
    EXPECT_TRUE(unset.Settings().FileName().empty());

    TempDir tmp;
    UpdaterStore store(tmp.path().c_str());
    UpdaterStoreItem device = store.AddDevice(7u);
    device.Settings().Add("K", "v");
    UpdaterStoreItem copy = device;
    EXPECT_EQ(copy.Name(), "00000007");
    EXPECT_STREQ(copy.Settings()["K"], "v");
    EXPECT_EQ(copy.Settings().FileName(), tmp.file("00000007/.settings"));
}

// Mounts a small tmpfs for the life of the object; unmounts in every case.
class TinyFilesystem {
  public:
    explicit TinyFilesystem(const std::string &at) : at_(at) {
        fs::create_directory(at_);
        mounted_ = mount("tmpfs", at_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=512k") == 0;
        error_ = errno;
    }
    ~TinyFilesystem() {
        if (mounted_)
            umount2(at_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const char *error() const { return strerror(error_); }

  private:
    std::string at_;
    bool mounted_ = false;
    int error_ = 0;
};

// Fills the filesystem holding directory; returns the filler's path.
std::string fillUp(const std::string &directory) {
    std::string filler = directory + "/filler";
    int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char> chunk(4096, 'f');
    for (int i = 0; i < 4096 && fd >= 0; ++i) // 16 MiB at most, far above the mount's size
        if (write(fd, chunk.data(), chunk.size()) <= 0)
            break;
    if (fd >= 0)
        close(fd);
    return filler;
}

TEST(UpdaterStoreFullDisk, FailedWritesLeaveTheOldImageAndSettings) {
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    TempDir tmp;
    TinyFilesystem tiny(tmp.file("tiny"));
    if (!tiny.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here: " << tiny.error();

    UpdaterStore store(tmp.file("tiny/store").c_str());
    UpdaterStoreItem device = store.AddDevice(0x1234ABCDu);
    std::string dir = tmp.file("tiny/store/1234ABCD");
    BirdBuilder::Bytes oldImage = BirdBuilder::minimalValid().addFirmware(0x1000, BirdBuilder::Bytes(60000, 1)).bytes();
    ASSERT_EQ(device.WriteFile("100.bird", oldImage.data(), oldImage.size()), aErrNone);
    device.Settings().Add("LATEST_DOWNLOAD", "100.bird");
    device.Settings().Save();
    const std::string oldSettings = readFile(dir + "/.settings");
    const std::string oldImageText(oldImage.begin(), oldImage.end());

    std::string filler = fillUp(tmp.file("tiny"));
    std::vector<unsigned char> newImage(256 * 1024, 0x5A);
    EXPECT_EQ(device.WriteFile("100.bird", newImage.data(), newImage.size()), aErrIO);
    EXPECT_EQ(readFile(dir + "/100.bird"), oldImageText);
    EXPECT_TRUE(BirdFile::VerifyFile((dir + "/100.bird").c_str()));

    device.Settings().Add("HISTORY", std::string(256 * 1024, 'h'));
    device.Settings().Save();
    EXPECT_TRUE(device.Settings().IsChanged());
    EXPECT_EQ(readFile(dir + "/.settings"), oldSettings);
    EXPECT_EQ(namesIn(dir), (std::set<std::string>{".settings", "100.bird"})) << "temporary files left behind";

    // With room again, both go through.
    ASSERT_EQ(unlink(filler.c_str()), 0);
    device.Settings().Save();
    EXPECT_FALSE(device.Settings().IsChanged());
    EXPECT_NE(readFile(dir + "/.settings").find("HISTORY=hhh"), std::string::npos);
    EXPECT_EQ(device.WriteFile("100.bird", newImage.data(), 1000), aErrNone);
}

} // namespace
