#include "AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<unsigned> temp_counter{0};

aErr _fail(int fd, const std::string &temp, aErr code, int *systemError) {
    int saved = errno;
    if (fd >= 0)
        close(fd);
    unlink(temp.c_str());
    if (systemError != nullptr)
        *systemError = saved;
    return code;
}

} // namespace

aErr WriteFileAtomically(const std::string &path, const void *data, size_t length, int *systemError) {
    if (systemError != nullptr)
        *systemError = 0;
    size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);

    // Replace only what could have been written in place: a directory, a symlink loop or a
    // file we may not write stays as it is and counts as "cannot open". The new file keeps
    // the old one's mode.
    int mode = -1;
    int existing = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (existing >= 0) {
        struct stat st;
        if (fstat(existing, &st) == 0)
            mode = static_cast<int>(st.st_mode & 07777);
        close(existing);
    } else if (errno != ENOENT) {
        if (systemError != nullptr)
            *systemError = errno;
        return aErrNotFound;
    }

    // A leading dot keeps a temporary left by a killed process out of the build listings.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = (slash == std::string::npos ? std::string() : directory) + "." + base + ".tmp" +
               std::to_string(getpid()) + "." + std::to_string(temp_counter.fetch_add(1));
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        if (systemError != nullptr)
            *systemError = errno;
        return aErrNotFound;
    }

    if (mode >= 0)
        (void)fchmod(fd, static_cast<mode_t>(mode));

    const char *bytes = static_cast<const char *>(data);
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return _fail(fd, temp, aErrIO, systemError);
        }
        done += static_cast<size_t>(n);
    }
    if (fsync(fd) != 0)
        return _fail(fd, temp, aErrIO, systemError);
    int closed = close(fd);
    fd = -1;
    if (closed != 0)
        return _fail(fd, temp, aErrIO, systemError);
    if (rename(temp.c_str(), path.c_str()) != 0)
        return _fail(fd, temp, aErrIO, systemError);

    // Make the rename itself durable; the data is already safe either way.
    int dirFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return aErrNone;
}
