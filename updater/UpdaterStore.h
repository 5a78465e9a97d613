#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "aError.h"

typedef enum {
    STORE_ITEM_FILE = 0,
    STORE_ITEM_DIRECTORY = 1,
    STORE_ITEM_UNSET = 2,
} store_item_t;

// One entry of the store (a device directory, or a file in one) and its settings,
// bound to path/name/.settings. A value type. Logs under DEBUG_Updater.
class UpdaterStoreItem {
  public:
    UpdaterStoreItem() = default;
    // Loads path/name/.settings, creating it (with its time stamps) when missing.
    UpdaterStoreItem(const char *path, const char *name, store_item_t kind);

    bool IsValid() const { return !path_.empty() && !name_.empty(); }

    // Replaces path/name/fileName with the bytes, atomically: on any failure the old file
    // is left exactly as it was. aErrNotFound for null data, an unset item, or when the
    // file cannot be opened or created, aErrIO when writing or flushing fails (a full
    // disk), else aErrNone.
    aErr WriteFile(const char *fileName, const unsigned char *data, size_t length);

    // path/name/fileName as an image. Throws std::runtime_error "Invalid bird <path>" when
    // the header check fails, and "Failed to load bird data" when it cannot be loaded.
    BirdFile ReadBirdFile(const char *fileName) const;

    const std::string &Path() const { return path_; } // the directory holding the entry
    const std::string &Name() const { return name_; }
    store_item_t Kind() const { return kind_; }
    KeyValueStore &Settings() { return settings_; }
    const KeyValueStore &Settings() const { return settings_; }

  private:
    friend class UpdaterStore;

    std::string path_;
    std::string name_;
    store_item_t kind_ = STORE_ITEM_UNSET;
    KeyValueStore settings_;
};

// The store's base directory: one directory per device ("%08X"), holding BUILD.bird
// images and a .settings file. Keeps nothing in memory but the base path.
class UpdaterStore {
  public:
    // Makes sure base is a directory; throws std::runtime_error when it cannot be.
    explicit UpdaterStore(const char *base);

    const std::string &BasePath() const { return base_; }

    // Ensures base/SERIAL exists (throws std::runtime_error as the constructor) and
    // returns its item, whose settings file is created when missing.
    UpdaterStoreItem AddDevice(unsigned serial);
    UpdaterStoreItem AddDevice(const char *name);

    // The first entry of the base directory, in listing order, whose name contains name.
    // Fills *item (when not null) and returns whether one was found.
    bool FindDevice(unsigned serial, UpdaterStoreItem *item);
    bool FindDevice(const char *name, UpdaterStoreItem *item);

    // Appends one item per entry of the device's directory whose name does not begin
    // with "." (so not the settings file), in listing order. Always true; nothing is
    // appended when the device has no directory.
    bool FindLocalBuilds(unsigned serial, std::vector<UpdaterStoreItem> &items);

  private:
    std::string base_;
};
