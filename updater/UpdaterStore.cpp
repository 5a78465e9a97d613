#include "UpdaterStore.h"

#include "AtomicFile.h"
#include "Log.h"
#include "aDirectory.h"
#include "path.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>

namespace {

// What a device search hands the listing: the name searched for and the first match.
struct result_t {
    bool found = false;
    std::string name;
    std::string matchPath;
    std::string matchName;
    store_item_t matchKind = STORE_ITEM_UNSET;
};

struct entry_t {
    std::string name;
    store_item_t kind;
};

const char *_entry_name(const char *fullPath) {
    const char *slash = strrchr(fullPath, '/');
    return slash != nullptr ? slash + 1 : fullPath;
}

void _ensure_directory(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        aErr result = aDirectory_Ensure(path.c_str(), 0755);
        if (result != aErrNone)
            throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                                     std::to_string(static_cast<int>(result)));
        Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
    } else if (!S_ISDIR(st.st_mode)) {
        throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    } else {
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
    }
}

bool _find_item(const aDirectoryListData *entry, void *context) {
    auto *result = static_cast<result_t *>(context);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->fullPath,
             static_cast<int>(entry->isDirectory), static_cast<int>(entry->size), result->name.c_str());
    const char *name = _entry_name(entry->fullPath);
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return true;
    // Matched on the entry's own name: the base path may itself contain the text.
    if (strstr(name, result->name.c_str()) == nullptr)
        return true;
    result->found = true;
    result->matchPath.assign(entry->fullPath, static_cast<size_t>(name - 1 - entry->fullPath));
    result->matchName = name;
    result->matchKind = entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE;
    return false;
}

bool _find_items(const aDirectoryListData *entry, void *context) {
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->fullPath, static_cast<int>(entry->isDirectory),
             static_cast<int>(entry->size));
    const char *name = _entry_name(entry->fullPath);
    if (name[0] != '.')
        static_cast<std::vector<entry_t> *>(context)->push_back(
            {name, entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE});
    return true;
}

std::string _serial_text(unsigned serial) {
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

} // namespace

UpdaterStoreItem::UpdaterStoreItem(const char *path, const char *name, store_item_t kind)
    : path_(path != nullptr ? path : ""), name_(name != nullptr ? name : ""), kind_(kind) {
    settings_.Load(BuildPath(path_.c_str(), name_.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr).c_str());
}

aErr UpdaterStoreItem::WriteFile(const char *fileName, const unsigned char *data, size_t length) {
    // An unset item has no directory: its path would name the filesystem root.
    if (data == nullptr || fileName == nullptr || !IsValid())
        return aErrNotFound;
    std::string target = BuildPath(path_.c_str(), name_.c_str(), fileName, nullptr);
    int error = 0;
    aErr result = WriteFileAtomically(target, data, length, &error);
    if (result != aErrNone)
        Log::log(DEBUG_Updater, "UpdaterStore: Error (%d) writing %s: %s\n", static_cast<int>(result), target.c_str(),
                 strerror(error));
    return result;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char *fileName) const {
    std::string target = BuildPath(path_.c_str(), name_.c_str(), fileName != nullptr ? fileName : "", nullptr);
    if (fileName == nullptr || !BirdFile::VerifyFile(target.c_str()))
        throw std::runtime_error("Invalid bird " + target);
    return BirdFile(target.c_str());
}

UpdaterStore::UpdaterStore(const char *base) : base_(base != nullptr ? base : "") { _ensure_directory(base_); }

UpdaterStoreItem UpdaterStore::AddDevice(unsigned serial) { return AddDevice(_serial_text(serial).c_str()); }

UpdaterStoreItem UpdaterStore::AddDevice(const char *name) {
    if (name == nullptr || *name == '\0')
        throw std::runtime_error("UpdaterStore: no device name");
    _ensure_directory(BuildPath(base_.c_str(), name, nullptr));
    return UpdaterStoreItem(base_.c_str(), name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(unsigned serial, UpdaterStoreItem *item) {
    return FindDevice(_serial_text(serial).c_str(), item);
}

bool UpdaterStore::FindDevice(const char *name, UpdaterStoreItem *item) {
    result_t result;
    result.name = name != nullptr ? name : "";
    aDirectory_List(base_.c_str(), _find_item, &result);
    // The settings are loaded once the listing is done, never from inside its callback.
    if (result.found && item != nullptr)
        *item = UpdaterStoreItem(result.matchPath.c_str(), result.matchName.c_str(), result.matchKind);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", result.found ? "Found" : "Not Found",
             result.name.c_str());
    return result.found;
}

bool UpdaterStore::FindLocalBuilds(unsigned serial, std::vector<UpdaterStoreItem> &items) {
    UpdaterStoreItem device;
    if (!FindDevice(serial, &device))
        return true;
    std::string directory = BuildPath(device.Path().c_str(), device.Name().c_str(), nullptr);
    std::vector<entry_t> entries;
    aDirectory_List(directory.c_str(), _find_items, &entries);
    for (const entry_t &entry : entries)
        items.emplace_back(directory.c_str(), entry.name.c_str(), entry.kind);
    return true;
}
