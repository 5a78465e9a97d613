#include "aDirectory.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

bool aDirectory_Exists(const char *path) {
    struct stat st;
    return path != nullptr && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

aErr aDirectory_Ensure(const char *path, unsigned mode) {
    if (path == nullptr || *path == '\0')
        return aErrParam;
    if (aDirectory_Exists(path))
        return aErrNone;
    // Walk down from the root, creating each missing component in turn.
    std::string full(path);
    for (size_t pos = 1; pos <= full.size(); ++pos) {
        if (pos != full.size() && full[pos] != '/')
            continue;
        std::string part = full.substr(0, pos);
        if (part.empty() || part.back() == '/')
            continue;
        if (mkdir(part.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST)
            return aErrPermission;
    }
    return aDirectory_Exists(path) ? aErrNone : aErrPermission;
}

aErr aDirectory_List(const char *path, aDirectoryListProc callback, void *context) {
    if (path == nullptr || callback == nullptr)
        return aErrParam;
    DIR *dir = opendir(path);
    if (dir == nullptr)
        return aErrNotFound;
    char full[2048];
    while (struct dirent *entry = readdir(dir)) {
        if (aDirectory_JoinPath(full, sizeof full, path, entry->d_name) != aErrNone)
            continue; // does not fit: skipped
        struct stat st;
        if (stat(full, &st) != 0)
            continue;
        aDirectoryListData data{full, static_cast<uint32_t>(st.st_size), S_ISDIR(st.st_mode) ? 1u : 0u};
        if (!callback(&data, context))
            break;
    }
    closedir(dir);
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char *buffer, size_t size) {
    if (buffer == nullptr || size == 0)
        return aErrParam;
    const char *home = nullptr;
    struct passwd pwd;
    struct passwd *found = nullptr;
    char scratch[4096];
    if (getpwuid_r(getuid(), &pwd, scratch, sizeof scratch, &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && *found->pw_dir != '\0')
        home = found->pw_dir;
    else
        home = getenv("HOME");
    if (home == nullptr || *home == '\0')
        return aErrNotFound;
    size_t len = strlen(home);
    if (len >= size)
        return aErrOverrun;
    memcpy(buffer, home, len + 1);
    return aErrNone;
}

aErr aDirectory_JoinPath(char *buffer, size_t size, const char *directory, const char *name) {
    if (buffer == nullptr || directory == nullptr || name == nullptr)
        return aErrParam;
    size_t dlen = strlen(directory);
    bool slash = !(dlen > 0 && directory[dlen - 1] == '/') && name[0] != '/';
    int n = snprintf(buffer, size, "%s%s%s", directory, slash ? "/" : "", name);
    if (n < 0 || static_cast<size_t>(n) >= size)
        return aErrOverrun;
    return aErrNone;
}
