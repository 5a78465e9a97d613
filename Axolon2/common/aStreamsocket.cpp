// TCP socket transport.
//
// Lock order: `ioLock` is the only lock here. Reads and writes hold it shared
// (the reading and writing threads run side by side); closing and reconnecting
// the socket hold it exclusively, so one side never uses a descriptor the other
// has just closed or replaced.
#include "aStreamsocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <shared_mutex>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>

namespace {

constexpr uint16_t kSocketMagic = 0xDEAD;
constexpr uint32_t kConnected = 0x1;
constexpr int kGetWaitMs = 10; // bound of one `get` wait for input
constexpr int kConnectWaitMs = 3000;
constexpr int kWriteAttempts = 10;
constexpr int kWriteRetryMs = 60;

struct SocketStream {
    uint16_t port = 0;
    sockaddr_in peer{};
    int socket = 0;
    uint32_t flags = 0;
    uint16_t magic = kSocketMagic;
    std::shared_mutex ioLock;
    // Set when an error closed the connection; the reader reports it once
    // before it reconnects, so the link above learns that bytes may be lost.
    std::atomic<bool> lostUnreported{false};
    // Bytes received but not handed out yet; used by the reading side only.
    uint8_t rx[512];
    size_t rxCount = 0;
    size_t rxNext = 0;
};

bool sIsValid(const void *ref) {
    return ref != nullptr && static_cast<const SocketStream *>(ref)->magic == kSocketMagic;
}

// Caller holds ioLock exclusively.
void sSocketStreamClose(SocketStream *s) {
    s->flags &= ~kConnected;
    if (s->socket > 0)
        ::close(s->socket);
    s->socket = 0;
}

aErr sSocketStreamSetOptions(int fd) {
    int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
        return aErrIO;
    timeval none{};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none) != 0)
        return aErrIO;
    linger lg{};
    lg.l_onoff = 1;
    lg.l_linger = 0; // closing resets the connection at once
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) != 0)
        return aErrIO;
    if (ioctl(fd, FIONBIO, &on) != 0)
        return aErrIO;
    return aErrNone;
}

aErr sConnectError(int e) {
    switch (e) {
    case EAGAIN:
    case ECONNRESET:
    case ETIMEDOUT:
    case ECONNREFUSED:
        return aErrConnection;
    default:
        return aErrIO;
    }
}

// Connects with a bounded wait, so a vanished host cannot hold the caller for
// the system's full connect time-out. Caller holds ioLock exclusively.
aErr sSocketStreamReset(SocketStream *s) {
    if (s->magic != kSocketMagic)
        return aErrInitialization;
    if (s->socket > 0) {
        sSocketStreamClose(s);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return aErrIO;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&s->peer), sizeof s->peer) != 0) {
        int e = errno;
        if (e == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int ready;
            do {
                ready = ::poll(&p, 1, kConnectWaitMs);
            } while (ready < 0 && errno == EINTR);
            socklen_t len = sizeof e;
            if (ready == 0)
                e = ETIMEDOUT;
            else if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &len) != 0)
                e = errno;
        }
        if (e != 0) {
            ::close(fd);
            return sConnectError(e);
        }
    }
    const aErr err = sSocketStreamSetOptions(fd);
    if (err != aErrNone) {
        ::close(fd);
        return err;
    }
    s->socket = fd;
    s->flags |= kConnected;
    s->rxCount = s->rxNext = 0;
    return aErrNone;
}

// Closes the connection after an error, unless someone already replaced it.
void sSocketStreamLose(SocketStream *s, int fdSeen) {
    std::unique_lock lock(s->ioLock);
    if (s->socket == fdSeen && (s->flags & kConnected)) {
        sSocketStreamClose(s);
        s->lostUnreported = true;
    }
}

bool sIsResetError(int e) { return e == ECONNRESET || e == ENOTCONN || e == ETIMEDOUT || e == EPIPE; }

aErr sSocketStreamGet(uint8_t *byte, void *ref) {
    if (!sIsValid(ref) || !byte)
        return aErrParam;
    auto *s = static_cast<SocketStream *>(ref);
    if (s->rxNext < s->rxCount) {
        *byte = s->rx[s->rxNext++];
        return aErrNone;
    }
    int fd;
    {
        std::shared_lock lock(s->ioLock);
        fd = (s->flags & kConnected) ? s->socket : -1;
    }
    if (fd < 0) {
        if (s->lostUnreported.exchange(false))
            return aErrConnection;
        std::unique_lock lock(s->ioLock);
        if (!(s->flags & kConnected)) {
            const aErr err = sSocketStreamReset(s);
            if (err != aErrNone)
                return err;
        }
        return aErrNotReady;
    }
    ssize_t n;
    int e = 0;
    {
        std::shared_lock lock(s->ioLock);
        if (s->socket != fd)
            return aErrNotReady; // replaced meanwhile; ask again
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, kGetWaitMs);
        if (ready <= 0)
            return aErrNotReady;
        n = ::recv(fd, s->rx, sizeof s->rx, MSG_DONTWAIT);
        if (n < 0)
            e = errno;
    }
    if (n > 0) {
        s->rxCount = static_cast<size_t>(n);
        s->rxNext = 1;
        *byte = s->rx[0];
        return aErrNone;
    }
    if (n < 0 && (e == EAGAIN || e == EWOULDBLOCK || e == EINTR))
        return aErrNotReady;
    if (n == 0 || sIsResetError(e)) {
        // The peer closed or reset the connection: report it now, reconnect later.
        sSocketStreamLose(s, fd);
        s->lostUnreported = false;
        return aErrConnection;
    }
    return aErrConnection;
}

aErr sSocketStreamWrite(const uint8_t *bytes, size_t length, void *ref) {
    if (!sIsValid(ref) || (!bytes && length > 0))
        return aErrParam;
    auto *s = static_cast<SocketStream *>(ref);
    size_t sent = 0;
    int attempts = 0;
    while (sent < length) {
        int fd;
        ssize_t n;
        int e = 0;
        {
            std::shared_lock lock(s->ioLock);
            if (!(s->flags & kConnected))
                return aErrConnection;
            fd = s->socket;
            n = ::send(fd, bytes + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0)
                e = errno;
        }
        if (n >= 0) {
            sent += static_cast<size_t>(n);
            if (sent == length)
                break;
            attempts = 1;
        } else if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR) {
            ++attempts;
        } else if (sIsResetError(e)) {
            sSocketStreamLose(s, fd);
            return aErrConnection;
        } else {
            return aErrIO;
        }
        if (attempts >= kWriteAttempts)
            return aErrTimeout;
        // Wait for room rather than a fixed sleep: a slow reader should not cost 60 ms.
        std::shared_lock lock(s->ioLock);
        if (s->socket == fd) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, kWriteRetryMs);
        }
    }
    return aErrNone;
}

aErr sSocketStreamPut(uint8_t byte, void *ref) { return sSocketStreamWrite(&byte, 1, ref); }

aErr sSocketStreamDelete(void *ref) {
    if (!sIsValid(ref))
        return aErrParam;
    auto *s = static_cast<SocketStream *>(ref);
    {
        std::unique_lock lock(s->ioLock);
        sSocketStreamClose(s);
        s->flags = 0;
        s->magic = 0;
    }
    delete s;
    return aErrNone;
}

} // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream **stream) {
    if (!stream)
        return aErrResource;
    *stream = nullptr;
    auto *s = new (std::nothrow) SocketStream;
    if (!s)
        return aErrResource;
    s->port = port;
    s->peer.sin_family = AF_INET;
    s->peer.sin_port = htons(port);
    s->peer.sin_addr.s_addr = address;
    aErr err;
    {
        std::unique_lock lock(s->ioLock);
        err = sSocketStreamReset(s);
    }
    if (err != aErrNone) {
        sSocketStreamDelete(s);
        return aErrResource;
    }
    *stream = aStream_Create(sSocketStreamGet, sSocketStreamPut, sSocketStreamWrite, sSocketStreamDelete, s);
    if (!*stream) {
        sSocketStreamDelete(s);
        return aErrResource;
    }
    return aErrNone;
}
