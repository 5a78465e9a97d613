#include "KeyValueStore.h"

#include "AtomicFile.h"
#include "Log.h"

#include <cctype>
#include <cstdarg>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>

namespace {

constexpr size_t kLineBuffer = 2048;

std::string _trim(const char *begin, const char *end) {
    while (begin < end && isspace(static_cast<unsigned char>(*begin)))
        ++begin;
    while (end > begin && isspace(static_cast<unsigned char>(end[-1])))
        --end;
    return std::string(begin, end);
}

std::string _format(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string _format(const char *format, ...) {
    // Sized by a first pass: "%f" of a large double runs to hundreds of digits.
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0)
        vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}

} // namespace

KeyValueStore::KeyValueStore(const char *path) {
    if (path != nullptr)
        Load(path);
}

std::string KeyValueStore::TimeText() {
    time_t now = time(nullptr);
    char text[64] = {};
    if (ctime_r(&now, text) == nullptr)
        return {};
    std::string result(text);
    if (!result.empty() && result.back() == '\n')
        result.pop_back();
    return result;
}

const char *KeyValueStore::operator[](const std::string &key) const {
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : it->second.c_str();
}

const std::string &KeyValueStore::valueForGetter(const std::string &key) {
    return entries_[key]; // inserting on purpose: a later Save lists the key
}

int KeyValueStore::GetInt(const std::string &key, int defaultValue) {
    const std::string &value = valueForGetter(key);
    return value.empty() ? defaultValue : atoi(value.c_str());
}

unsigned KeyValueStore::GetHex(const std::string &key, unsigned defaultValue) {
    const std::string &value = valueForGetter(key);
    return value.empty() ? defaultValue : static_cast<unsigned>(strtol(value.c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const std::string &key, bool defaultValue) {
    const std::string &value = valueForGetter(key);
    return value.empty() ? defaultValue : atoi(value.c_str()) != 0;
}

double KeyValueStore::GetDouble(const std::string &key, double defaultValue) {
    const std::string &value = valueForGetter(key);
    return value.empty() ? defaultValue : atof(value.c_str());
}

std::string KeyValueStore::GetString(const std::string &key, const char *defaultValue) const {
    auto it = entries_.find(key);
    if (it != entries_.end())
        return it->second;
    return defaultValue != nullptr ? defaultValue : "";
}

bool KeyValueStore::set(const std::string &key, const std::string &value) {
    std::string &slot = entries_[key]; // an absent key counts as empty text
    if (slot != value) {
        slot = value;
        changed_ = true;
    }
    return true;
}

bool KeyValueStore::Add(const std::string &key, int value) { return set(key, _format("%d", value)); }

bool KeyValueStore::Add(const std::string &key, double value) { return set(key, _format("%f", value)); }

bool KeyValueStore::Add(const std::string &key, const char *value) { return set(key, value != nullptr ? value : ""); }

bool KeyValueStore::Add(const std::string &key, const std::string &value) { return set(key, value); }

bool KeyValueStore::AddHex(const std::string &key, unsigned value) { return set(key, _format("0x%08X", value)); }

bool KeyValueStore::Add(const KeyValueStore &other) {
    if (&other == this) {
        changed_ = changed_ || !entries_.empty(); // every entry counts as copied
        return true;
    }
    for (const auto &[key, value] : other.entries_) {
        entries_[key] = value;
        changed_ = true;
    }
    return true;
}

bool KeyValueStore::Clear() {
    entries_.clear();
    changed_ = true;
    return true;
}

void KeyValueStore::Load(const char *path) {
    if (path == nullptr)
        return;
    FILE *file = fopen(path, "rb");
    if (file == nullptr) {
        int error = errno;
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", path, error);
        // One time text for both stamps of the new file.
        const std::string now = TimeText();
        Add(KEY_CREATED_TIME, now);
        // Only a file that is not there is created: one that exists but cannot be read
        // still holds the device's history and must not be replaced by an empty one.
        struct stat st;
        if (lstat(path, &st) != 0)
            save(path, now);
        else
            Log::log(DEBUG_Attributes, "Attibutes: keeping unreadable attributes file: '%s'\n", path);
    }
    fileName_ = path;
    changed_ = false;
    if (file == nullptr)
        return;

    char line[kLineBuffer];
    while (fgets(line, sizeof line, file) != nullptr) {
        size_t length = strlen(line);
        if (length == sizeof line - 1 && line[length - 1] != '\n')
            break; // does not fit: this line and everything after it are ignored
        if (length < 3 || line[0] == '#')
            continue;
        const char *equals = strchr(line, '=');
        if (equals == nullptr)
            continue; // never written by Save; ignored
        std::string key = _trim(line, equals);
        if (key.empty())
            continue;
        entries_[key] = _trim(equals + 1, line + length);
    }
    fclose(file);
}

void KeyValueStore::Save(const char *path) { save(path, TimeText()); }

void KeyValueStore::save(const char *path, const std::string &now) {
    if (path != nullptr) {
        fileName_ = path;
    } else if (fileName_.empty()) {
        fileName_ = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n",
                 fileName_.c_str());
    }
    if (changed_)
        Add(KEY_UPDATED_TIME, now);

    std::string text;
    for (const auto &[key, value] : entries_) {
        text += key;
        text += '=';
        text += value;
        text += '\n';
    }
    int error = 0;
    aErr result = WriteFileAtomically(fileName_, text.data(), text.size(), &error);
    if (result == aErrNotFound) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 fileName_.c_str(), error);
        return;
    }
    if (result != aErrNone) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%d)\n", fileName_.c_str(),
                 error);
        return;
    }
    changed_ = false;
}
