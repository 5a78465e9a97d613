#pragma once
#include <map>
#include <string>

// One settings file of key=value lines, in memory: an ordered map, the file it belongs
// to and a changed flag. A value type; not synchronised. Logs under DEBUG_Attributes.
class KeyValueStore {
  public:
    static constexpr const char *DEFAULT_FILENAME = ".settings";
    static constexpr const char *KEY_CREATED_TIME = "CREATED_TIME";
    static constexpr const char *KEY_UPDATED_TIME = "UPDATED_TIME";

    // Empty; loads path when it is not null.
    explicit KeyValueStore(const char *path = nullptr);

    // The value, or null when the key is absent. Never inserts.
    const char *operator[](const std::string &key) const;

    // Number getters return the default for an empty or absent value, and add an absent
    // key with an empty value (without marking the store changed), so a later Save
    // writes it as "KEY=".
    int GetInt(const std::string &key, int defaultValue);
    unsigned GetHex(const std::string &key, unsigned defaultValue);
    bool GetBOOL(const std::string &key, bool defaultValue);
    double GetDouble(const std::string &key, double defaultValue);
    // The value when present, even if empty; else the default ("" for null). Never inserts.
    std::string GetString(const std::string &key, const char *defaultValue = nullptr) const;

    // Each marks the store changed only when the stored text differs. Always true.
    bool Add(const std::string &key, int value);
    bool Add(const std::string &key, double value);
    bool Add(const std::string &key, const char *value);
    bool Add(const std::string &key, const std::string &value);
    bool AddHex(const std::string &key, unsigned value);
    bool Add(const KeyValueStore &other);
    bool Clear();

    // Merges the file's entries into this store and binds the store to path. A file that
    // does not exist is created with CREATED_TIME and UPDATED_TIME.
    void Load(const char *path);
    // Writes the whole store to path (null: the bound file, or DEFAULT_FILENAME), stamping
    // UPDATED_TIME when changed. The file is replaced atomically: a failed or interrupted
    // save leaves the previous file as it was, and the store stays changed.
    void Save(const char *path = nullptr);

    const std::string &FileName() const { return fileName_; }
    bool IsChanged() const { return changed_; }
    const std::map<std::string, std::string> &Entries() const { return entries_; }

    // The current local time as the 24-character text the store writes.
    static std::string TimeText();

  private:
    bool set(const std::string &key, const std::string &value);
    void save(const char *path, const std::string &now);
    const std::string &valueForGetter(const std::string &key);

    std::string fileName_;
    std::map<std::string, std::string> entries_;
    bool changed_ = false;
};
