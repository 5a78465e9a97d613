#pragma once
// Buffered files behind an opaque handle. A handle is used by one thread at a time.

#include "aError.h"

#include <cstddef>
#include <cstdint>

typedef struct aFile *aFileRef;

enum : unsigned {
    aFileModeRead = 0,   // binary reading
    aFileModeWrite = 1,  // create or truncate, binary writing
    aFileModeAppend = 2, // binary appending and reading, positioned at the end
};

enum : int {
    aSeekStart = 0,
    aSeekCurrent = 1,
    aSeekEnd = 2,
};

// Longest path the file helpers accept, in characters.
constexpr size_t aFILE_MAXPATH = 4096;

// Opens `path` in one of the modes above; null on any failure (the reason is not reported).
aFileRef aFile_Open(const char *path, unsigned mode);

// Closes and frees the file; *file is null afterwards in every case.
aErr aFile_Close(aFileRef *file);

// Reads up to `length` bytes; `count` (optional) receives the number read. aErrMode unless
// opened for reading or appending; aErrEOF when nothing was left; aErrIO on a read failure.
aErr aFile_Read(aFileRef file, void *buffer, size_t length, size_t *count);

// Writes `length` bytes; `count` (optional) receives the number written. aErrMode unless opened
// for writing or appending; aErrIO when no byte could be written.
aErr aFile_Write(aFileRef file, const void *data, size_t length, size_t *count);

// Moves to base + offset, the base chosen by `origin` (aSeekStart/Current/End). A target
// before the start or past the end gives aErrRange and leaves the position alone.
aErr aFile_Seek(aFileRef file, long offset, int origin);

// Size in bytes; the position is kept.
aErr aFile_GetSize(aFileRef file, size_t *size);

// Reads one line with its newline, at most size - 1 characters, into a NUL-terminated buffer;
// `length` (optional) receives its length. aErrEOF at the end of the file. aErrOverrun when the
// line does not fit: the first size - 1 characters are in the buffer, the rest is left for the
// next call.
aErr aFile_ReadLine(aFileRef file, char *buffer, size_t size, size_t *length);

// Formatted write; aErrMode unless writing or appending, aErrIO when the write fails.
aErr aFile_Printf(aFileRef file, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Switches buffering off; only before the first read or write. aErrMode on failure.
aErr aFile_SetUnbuffered(aFileRef file);

// True when `path` names something that exists and is not a directory.
bool aFile_Exists(const char *path);
