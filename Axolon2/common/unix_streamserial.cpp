// Serial port transport over termios.
#include "unix_streamserial.h"
#include "aStream_CobsEncoding.h"
#include "aTime.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr uint16_t kSerialMagic = 0xBEEF;
constexpr int kGetWaitMs = 10;
constexpr size_t kPortNameSize = 4096;

struct SerialStream {
    int baudIndex = 0;
    char portName[kPortNameSize] = {};
    int fd = 0;
    termios savedSettings{};
    termios settings{};
    uint16_t magic = kSerialMagic;
    // Bytes read but not handed out yet; reading side only.
    uint8_t rx[256];
    size_t rxCount = 0;
    size_t rxNext = 0;
};

speed_t sSpeed(int index) {
    switch (index) {
    case 0:
        return B2400;
    case 1:
        return B4800;
    case 2:
        return B9600;
    case 3:
        return B19200;
    case 4:
        return B38400;
    case 5:
        return B57600;
    case 6:
        return B115200;
    case 7:
        return B230400;
    default:
        return B0;
    }
}

bool sIsValid(const void *ref) {
    return ref != nullptr && static_cast<const SerialStream *>(ref)->magic == kSerialMagic;
}

aErr sStreamOpenSerial(SerialStream *s, int parity, int dataBits, int stopBits) {
    if (dataBits > 1 || stopBits > 1 || dataBits < 0 || stopBits < 0)
        return aErrParam;
    const int fd = ::open(s->portName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        switch (errno) {
        case ENOENT:
            return aErrNotFound;
        case EACCES:
            return aErrPermission;
        default:
            return aErrIO;
        }
    }
    auto fail = [fd]() {
        ::close(fd);
        return aErrIO;
    };
    if (fcntl(fd, F_SETFL, 0) != 0)
        return fail();
    if (tcgetattr(fd, &s->savedSettings) != 0)
        return fail();
    s->settings = s->savedSettings;
    s->settings.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    s->settings.c_oflag = 0;
    s->settings.c_cflag =
        CLOCAL | CREAD | (parity ? PARENB : 0) | (dataBits == 0 ? CS8 : CS7) | (stopBits == 1 ? CSTOPB : 0);
    s->settings.c_lflag = 0;
    s->settings.c_cc[VMIN] = 0;
    s->settings.c_cc[VTIME] = 0;
    const speed_t speed = sSpeed(s->baudIndex);
    if (cfsetispeed(&s->settings, speed) != 0 || cfsetospeed(&s->settings, speed) != 0)
        return fail();
    if (tcsetattr(fd, TCSANOW, &s->settings) != 0)
        return fail();
    if (tcflush(fd, TCIOFLUSH) != 0)
        return fail();
    s->fd = fd;
    return aErrNone;
}

aErr sSerialStreamGet(uint8_t *byte, void *ref) {
    if (!sIsValid(ref) || !byte)
        return aErrParam;
    auto *s = static_cast<SerialStream *>(ref);
    if (s->rxNext < s->rxCount) {
        *byte = s->rx[s->rxNext++];
        return aErrNone;
    }
    pollfd p{s->fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, kGetWaitMs);
    if (ready < 0)
        return errno == EINTR ? aErrNotReady : aErrIO;
    if (ready == 0)
        return aErrNotReady;
    const ssize_t n = ::read(s->fd, s->rx, sizeof s->rx);
    if (n <= 0) {
        // A hung-up or failing line is "ready" at once, every time. The framing
        // above turns the failure into "not ready" and the link asks again at
        // once, so take the wait here, or a dead port would cost a whole core.
        const int e = errno;
        aTime_MSSleep(kGetWaitMs);
        if (n == 0)
            return (p.revents & POLLHUP) ? aErrIO : aErrNotReady;
        return (e == EAGAIN || e == EINTR) ? aErrNotReady : aErrIO;
    }
    s->rxCount = static_cast<size_t>(n);
    s->rxNext = 1;
    *byte = s->rx[0];
    return aErrNone;
}

aErr sSerialStreamWrite(const uint8_t *bytes, size_t length, void *ref) {
    if (!sIsValid(ref) || (!bytes && length > 0))
        return aErrParam;
    auto *s = static_cast<SerialStream *>(ref);
    const ssize_t n = ::write(s->fd, bytes, length);
    if (n < 0 || static_cast<size_t>(n) < length)
        return aErrIO;
    tcdrain(s->fd);
    return aErrNone;
}

aErr sSerialStreamPut(uint8_t byte, void *ref) { return sSerialStreamWrite(&byte, 1, ref); }

aErr sSerialStreamDelete(void *ref) {
    if (!sIsValid(ref))
        return aErrParam;
    auto *s = static_cast<SerialStream *>(ref);
    if (s->fd > 0) {
        tcsetattr(s->fd, TCSANOW, &s->savedSettings);
        ::close(s->fd);
    }
    s->fd = 0;
    std::memset(&s->settings, 0, sizeof s->settings);
    s->magic = 0;
    delete s;
    return aErrNone;
}

aErr sMakeSerial(const char *portName, int baudIndex, int parity, int dataBits, int stopBits, SerialStream **out) {
    if (!portName || dataBits < 0 || dataBits > 1 || stopBits < 0 || stopBits > 1)
        return aErrParam;
    auto *s = new (std::nothrow) SerialStream;
    if (!s)
        return aErrMemory;
    s->baudIndex = baudIndex;
    std::strncpy(s->portName, portName, kPortNameSize - 1);
    const aErr err = sStreamOpenSerial(s, parity, dataBits, stopBits);
    if (err != aErrNone) {
        delete s;
        return err;
    }
    *out = s;
    return aErrNone;
}

} // namespace

aErr aStream_CreateSerial(const char *portName, int baudIndex, int parity, int dataBits, int stopBits,
                          aStream **stream) {
    if (!stream)
        return aErrParam;
    *stream = nullptr;
    SerialStream *s = nullptr;
    const aErr err = sMakeSerial(portName, baudIndex, parity, dataBits, stopBits, &s);
    if (err != aErrNone)
        return err;
    *stream = aStream_Create(sSerialStreamGet, sSerialStreamPut, sSerialStreamWrite, sSerialStreamDelete, s);
    if (!*stream) {
        sSerialStreamDelete(s);
        return aErrResource;
    }
    return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char *portName, int baudIndex, int parity, int dataBits, int stopBits,
                                     aStream **stream) {
    if (!stream)
        return aErrParam;
    *stream = nullptr;
    SerialStream *s = nullptr;
    const aErr err = sMakeSerial(portName, baudIndex, parity, dataBits, stopBits, &s);
    if (err != aErrNone)
        return err;
    const aErr cobsErr = aStream_CreateCobsEncoding(sSerialStreamGet, sSerialStreamPut, sSerialStreamWrite,
                                                    sSerialStreamDelete, s, stream);
    if (cobsErr != aErrNone) {
        sSerialStreamDelete(s);
        return cobsErr;
    }
    return aErrNone;
}
