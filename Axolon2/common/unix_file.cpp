#include "aFile.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <sys/stat.h>

namespace {

constexpr uint16_t sFILE_MAGIC = 0xFEED;

// stdio needs a positioning call between a read and a following write (and back) on an
// append-mode stream; the record remembers the last direction to insert one.
enum class sDirection { none, reading, writing };

} // namespace

struct aFile {
    FILE *stream;
    uint32_t mode;
    uint16_t magic;
    sDirection last;
};

namespace {

bool sValid(const aFile *file) { return file != nullptr && file->magic == sFILE_MAGIC; }

bool sCanRead(const aFile *file) { return file->mode == aFileModeRead || file->mode == aFileModeAppend; }

bool sCanWrite(const aFile *file) { return file->mode == aFileModeWrite || file->mode == aFileModeAppend; }

void sTurn(aFile *file, sDirection next) {
    if (file->last != sDirection::none && file->last != next)
        fseek(file->stream, 0, SEEK_CUR);
    file->last = next;
}

bool sPathUsable(const char *path) {
    return path != nullptr && path[0] != '\0' && strnlen(path, aFILE_MAXPATH + 1) <= aFILE_MAXPATH;
}

aErr sSize(aFile *file, long *size) {
    long here = ftell(file->stream);
    if (here < 0)
        return aErrIO;
    if (fseek(file->stream, 0, SEEK_END) != 0)
        return aErrIO;
    long end = ftell(file->stream);
    if (fseek(file->stream, here, SEEK_SET) != 0 || end < 0)
        return aErrIO;
    *size = end;
    return aErrNone;
}

} // namespace

aFileRef aFile_Open(const char *path, unsigned mode) {
    if (!sPathUsable(path))
        return nullptr;
    const char *how = nullptr;
    switch (mode) {
    case aFileModeRead:
        how = "rb";
        break;
    case aFileModeWrite:
        how = "wb";
        break;
    case aFileModeAppend:
        how = "a+b";
        break;
    default:
        return nullptr;
    }
    FILE *stream = fopen(path, how);
    if (stream == nullptr)
        return nullptr;
    // "a+" reads from the start; appending callers expect to be at the end.
    if (mode == aFileModeAppend && fseek(stream, 0, SEEK_END) != 0) {
        fclose(stream);
        return nullptr;
    }
    aFile *file = new (std::nothrow) aFile{stream, mode, sFILE_MAGIC, sDirection::none};
    if (file == nullptr)
        fclose(stream);
    return file;
}

aErr aFile_Close(aFileRef *file) {
    if (file == nullptr)
        return aErrParam;
    aFile *record = *file;
    *file = nullptr;
    if (!sValid(record))
        return aErrParam;
    record->magic = 0;
    int rc = fclose(record->stream);
    delete record;
    return rc == 0 ? aErrNone : aErrIO;
}

aErr aFile_Read(aFileRef file, void *buffer, size_t length, size_t *count) {
    if (count != nullptr)
        *count = 0;
    if (!sValid(file) || (buffer == nullptr && length > 0))
        return aErrParam;
    if (!sCanRead(file))
        return aErrMode;
    if (length == 0)
        return aErrNone;
    sTurn(file, sDirection::reading);
    size_t got = fread(buffer, 1, length, file->stream);
    if (count != nullptr)
        *count = got;
    if (got == 0)
        return ferror(file->stream) ? aErrIO : aErrEOF;
    return aErrNone;
}

aErr aFile_Write(aFileRef file, const void *data, size_t length, size_t *count) {
    if (count != nullptr)
        *count = 0;
    if (!sValid(file) || (data == nullptr && length > 0))
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    if (length == 0)
        return aErrNone;
    sTurn(file, sDirection::writing);
    size_t put = fwrite(data, 1, length, file->stream);
    if (count != nullptr)
        *count = put;
    return put == 0 ? aErrIO : aErrNone;
}

aErr aFile_Seek(aFileRef file, long offset, int origin) {
    if (!sValid(file))
        return aErrParam;
    long size = 0;
    aErr err = sSize(file, &size);
    if (err != aErrNone)
        return err;
    long base = 0;
    switch (origin) {
    case aSeekStart:
        base = 0;
        break;
    case aSeekCurrent:
        base = ftell(file->stream);
        if (base < 0)
            return aErrIO;
        break;
    case aSeekEnd:
        base = size;
        break;
    default:
        return aErrParam;
    }
    long target = 0;
    if (__builtin_add_overflow(base, offset, &target) || target < 0 || target > size)
        return aErrRange;
    if (fseek(file->stream, target, SEEK_SET) != 0)
        return aErrIO;
    file->last = sDirection::none;
    return aErrNone;
}

aErr aFile_GetSize(aFileRef file, size_t *size) {
    if (!sValid(file) || size == nullptr)
        return aErrParam;
    long end = 0;
    aErr err = sSize(file, &end);
    if (err != aErrNone)
        return err;
    file->last = sDirection::none;
    *size = static_cast<size_t>(end);
    return aErrNone;
}

aErr aFile_ReadLine(aFileRef file, char *buffer, size_t size, size_t *length) {
    if (length != nullptr)
        *length = 0;
    if (buffer != nullptr && size > 0)
        buffer[0] = '\0';
    if (!sValid(file) || buffer == nullptr || size == 0)
        return aErrParam;
    if (!sCanRead(file))
        return aErrMode;
    if (size == 1)
        return aErrOverrun;
    sTurn(file, sDirection::reading);
    int room = size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
    if (fgets(buffer, room, file->stream) == nullptr) {
        buffer[0] = '\0';
        return ferror(file->stream) ? aErrIO : aErrEOF;
    }
    size_t got = strlen(buffer);
    if (length != nullptr)
        *length = got;
    if (got == static_cast<size_t>(room) - 1 && buffer[got - 1] != '\n') {
        // A last line without newline that fits exactly is whole, not cut.
        int next = fgetc(file->stream);
        if (next == EOF)
            return ferror(file->stream) ? aErrIO : aErrNone;
        ungetc(next, file->stream);
        return aErrOverrun;
    }
    return aErrNone;
}

aErr aFile_Printf(aFileRef file, const char *format, ...) {
    if (!sValid(file) || format == nullptr)
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    sTurn(file, sDirection::writing);
    va_list args;
    va_start(args, format);
    int rc = vfprintf(file->stream, format, args);
    va_end(args);
    return rc < 0 ? aErrIO : aErrNone;
}

aErr aFile_SetUnbuffered(aFileRef file) {
    if (!sValid(file))
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    return setvbuf(file->stream, nullptr, _IONBF, 0) == 0 ? aErrNone : aErrMode;
}

bool aFile_Exists(const char *path) {
    if (!sPathUsable(path))
        return false;
    struct stat info {};
    return stat(path, &info) == 0 && !S_ISDIR(info.st_mode);
}
