#pragma once
#include <cstddef>
#include <cstdint>

#include "aError.h"

// What the directory listing hands its callback for each entry. fullPath is valid
// only during the call; size is the low 32 bits of the entry's size.
struct aDirectoryListData {
    const char *fullPath;
    uint32_t size;
    uint32_t isDirectory; // 1 for a directory, 0 otherwise
};

// Return false to stop the listing.
typedef bool (*aDirectoryListProc)(const aDirectoryListData *entry, void *context);

bool aDirectory_Exists(const char *path);

// aErrNone when path is a directory, creating every missing directory along it
// with mode; aErrPermission when a creation fails for any reason but "exists".
aErr aDirectory_Ensure(const char *path, unsigned mode);

// Entries in the order the system returns them, "." and ".." included; entries whose
// status cannot be read are skipped. aErrNotFound when the directory cannot be opened.
aErr aDirectory_List(const char *path, aDirectoryListProc callback, void *context);

// Home directory of the real user (password database, then $HOME), at most size bytes.
aErr aDirectory_GetHomeDirectory(char *buffer, size_t size);

// directory + "/" (unless directory ends in "/" or name begins with one) + name.
// aErrOverrun when the result does not fit in size bytes.
aErr aDirectory_JoinPath(char *buffer, size_t size, const char *directory, const char *name);
