#include "MemoryStream.h"
#include "aPacket.h"
#include "aStream.h"
#include "aStream_CobsEncoding.h"
#include "aStreamsocket.h"
#include "crc8.h"
#include "unix_streamserial.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Drains `n` bytes from a stream, giving the transport up to 2 s.
std::vector<uint8_t> readBytes(aStream *s, size_t n) {
    std::vector<uint8_t> out(n);
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    aErr err;
    while ((err = aStream_Read(s, out.data(), n)) == aErrNotReady && std::chrono::steady_clock::now() < deadline) {
    }
    EXPECT_EQ(err, aErrNone);
    return out;
}

// Every answer of `get` until the stream runs dry, one read per byte.
std::vector<aErr> drainAnswers(aStream *s, std::vector<uint8_t> *bytes) {
    std::vector<aErr> answers;
    uint8_t b;
    // A frame being gathered reads as up to 31 "not ready" answers in a row.
    int idle = 0;
    for (int i = 0; i < 500 && idle < 40; ++i) {
        aErr err = aStream_Read(s, &b, 1);
        idle = err == aErrNotReady ? idle + 1 : 0;
        if (err == aErrNone)
            bytes->push_back(b);
        else if (err != aErrNotReady)
            answers.push_back(err);
    }
    return answers;
}

struct CountingTransport {
    int puts = 0;
    int writes = 0;
    static aErr put(uint8_t, void *ref) {
        ++static_cast<CountingTransport *>(ref)->puts;
        return aErrNone;
    }
    static aErr write(const uint8_t *, size_t, void *ref) {
        ++static_cast<CountingTransport *>(ref)->writes;
        return aErrNone;
    }
};

// A packet of 28 data bytes, framed: 32 body bytes, one more than a frame holds.
std::vector<uint8_t> bodyOf32Bytes() {
    std::vector<uint8_t> raw{0x04, 28};
    for (int i = 0; i < 28; ++i)
        raw.push_back(static_cast<uint8_t>(i + 1));
    raw.push_back(crc8_create(raw.data(), raw.size()));
    EXPECT_NE(raw.back(), 0); // so the body is one block of 31 bytes after its code
    std::vector<uint8_t> frame{0x20};
    frame.insert(frame.end(), raw.begin(), raw.end());
    frame.push_back(0x00);
    return frame;
}

} // namespace

TEST(Stream, PushbackRingGrowsPast512AndKeepsOrderAfterWrapping) {
    auto link = std::make_shared<MemoryLink>();
    aStream *s = MemoryLink::createStream(link);
    ASSERT_NE(s, nullptr);
    // Wrap the ring first: fill 300, take 300 back out.
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(aStreamBufferChar(s, 0xEE), aErrNone);
    std::vector<uint8_t> sink(300);
    ASSERT_EQ(aStream_Read(s, sink.data(), sink.size()), aErrNone);
    EXPECT_EQ(s->pushbackSize, 512u);
    for (int i = 0; i < 600; ++i)
        ASSERT_EQ(aStreamBufferChar(s, static_cast<uint8_t>(i * 7)), aErrNone);
    EXPECT_EQ(s->pushbackSize, 1024u);
    std::vector<uint8_t> out(600);
    ASSERT_EQ(aStream_Read(s, out.data(), out.size()), aErrNone);
    for (int i = 0; i < 600; ++i)
        ASSERT_EQ(out[i], static_cast<uint8_t>(i * 7)) << i;
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
    EXPECT_EQ(s, nullptr);
    EXPECT_TRUE(link->deleted());
}

TEST(Stream, ShortReadConsumesNothingAndLaterReadsKeepOrder) {
    auto link = std::make_shared<MemoryLink>();
    aStream *s = MemoryLink::createStream(link);
    link->feed({1, 2});
    uint8_t buf[3] = {};
    EXPECT_EQ(aStream_Read(s, buf, 3), aErrNotReady);
    link->feed({3});
    ASSERT_EQ(aStream_Read(s, buf, 3), aErrNone);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 3), (std::vector<uint8_t>{1, 2, 3}));
    aStream_Destroy(&s);
}

TEST(Stream, SingleByteWriteGoesThroughPutAndLongerThroughWrite) {
    CountingTransport t;
    aStream *s = aStream_Create(nullptr, CountingTransport::put, CountingTransport::write, nullptr, &t);
    const uint8_t bytes[4] = {1, 2, 3, 4};
    EXPECT_EQ(aStream_Write(s, bytes, 1), aErrNone);
    EXPECT_EQ(aStream_Write(s, bytes, 4), aErrNone);
    EXPECT_EQ(t.puts, 1);
    EXPECT_EQ(t.writes, 1);
    uint8_t b;
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrMode);
    aStream_Destroy(&s);
}

TEST(Stream, DestroyedOrInvalidStreamIsRefused) {
    uint8_t b = 0;
    EXPECT_EQ(aStream_Read(nullptr, &b, 1), aErrParam);
    EXPECT_EQ(aStream_Write(nullptr, &b, 1), aErrParam);
    aStream *none = nullptr;
    EXPECT_EQ(aStream_Destroy(&none), aErrParam);
    aStream *s = aStream_Create(nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(aStream_Write(s, &b, 1), aErrMode);
    aStream *copy = s;
    aStream_Destroy(&s);
    EXPECT_EQ(s, nullptr);
    (void)copy; // freed: must not be touched again
}

// --- COBS framing over memory ---

class CobsStream : public ::testing::Test {
  protected:
    void SetUp() override {
        link = std::make_shared<MemoryLink>();
        inner = MemoryLink::createStream(link);
        ASSERT_NE(inner, nullptr);
        // The COBS stream takes over the inner transport's object and operations.
        ASSERT_EQ(aStream_CreateCobsEncoding(inner->get, inner->put, inner->write, inner->del, inner->ref, &cobs),
                  aErrNone);
        inner->del = nullptr;
        aStream_Destroy(&inner);
    }
    void TearDown() override {
        EXPECT_EQ(aStream_Destroy(&cobs), aErrNone);
        EXPECT_TRUE(link->deleted());
    }
    std::shared_ptr<MemoryLink> link;
    aStream *inner = nullptr;
    aStream *cobs = nullptr;
};

TEST_F(CobsStream, WritesGoldenFrames) {
    const uint8_t both[] = {0x04, 0x00, 0x06, 0x02, 0x00, 0x01};
    ASSERT_EQ(aStream_Write(cobs, both, sizeof both), aErrNone);
    EXPECT_EQ(link->written(),
              (std::vector<uint8_t>{0x02, 0x04, 0x02, 0x3B, 0x00, 0x03, 0x06, 0x02, 0x03, 0x01, 0x18, 0x00}));
    EXPECT_EQ(link->writeSizes(), (std::vector<size_t>{5, 7}));
}

TEST_F(CobsStream, PacketSplitAcrossWritesIsFramedOnceComplete) {
    const uint8_t first[] = {0x06, 0x02};
    const uint8_t rest[] = {0x00, 0x01};
    ASSERT_EQ(aStream_Write(cobs, first, 2), aErrNone);
    EXPECT_TRUE(link->written().empty());
    ASSERT_EQ(aStream_Write(cobs, rest, 2), aErrNone);
    EXPECT_EQ(link->written(), (std::vector<uint8_t>{0x03, 0x06, 0x02, 0x03, 0x01, 0x18, 0x00}));
}

TEST_F(CobsStream, ReadsGoldenFramesAsPlainBytes) {
    link->feed({0x02, 0x04, 0x02, 0x3B, 0x00, 0x03, 0x06, 0x02, 0x03, 0x01, 0x18, 0x00});
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(drainAnswers(cobs, &bytes).empty());
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x04, 0x00, 0x06, 0x02, 0x00, 0x01}));
}

struct BadFrame {
    const char *name;
    std::vector<uint8_t> frame;
};
class CobsStreamRejects : public CobsStream, public ::testing::WithParamInterface<BadFrame> {};

TEST_P(CobsStreamRejects, CorruptFrameOnceThenGoesOn) {
    std::vector<uint8_t> input = GetParam().frame;
    const std::vector<uint8_t> good{0x02, 0x04, 0x02, 0x3B, 0x00};
    input.insert(input.end(), good.begin(), good.end());
    link->feed(input);
    std::vector<uint8_t> bytes;
    EXPECT_EQ(drainAnswers(cobs, &bytes), std::vector<aErr>{aErrPacket});
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x04, 0x00}));
}

INSTANTIATE_TEST_SUITE_P(, CobsStreamRejects,
                         ::testing::Values(BadFrame{"DecodedLengthTwo", {0x03, 0x04, 0x01, 0x00}},
                                           BadFrame{"LengthByteDisagrees", {0x02, 0x04, 0x03, 0x01, 0x3B, 0x00}},
                                           BadFrame{"WrongCrc", {0x02, 0x04, 0x02, 0x3C, 0x00}},
                                           BadFrame{"CodePastTheEnd", {0x07, 0x04, 0x02, 0x00}},
                                           // 28 data bytes encode to a 32-byte body: one byte more than a frame holds.
                                           BadFrame{"BodyOf32Bytes", bodyOf32Bytes()}),
                         [](const auto &p) { return std::string(p.param.name); });

TEST_F(CobsStream, DelimitersAloneYieldNoPacket) {
    link->feed({0x00, 0x00});
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(drainAnswers(cobs, &bytes).empty());
    EXPECT_TRUE(bytes.empty());
}

TEST_F(CobsStream, LargestPacketsFitTheFrameAndTooLargeOnesAreNotSent) {
    std::vector<uint8_t> p27{0x08, 27};
    for (int i = 0; i < 27; ++i)
        p27.push_back(static_cast<uint8_t>(0xA0 + i));
    ASSERT_EQ(aStream_Write(cobs, p27.data(), p27.size()), aErrNone);
    ASSERT_EQ(link->writeSizes(), std::vector<size_t>{32});
    // What was sent reads back unchanged.
    link->feed(link->written());
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(drainAnswers(cobs, &bytes).empty());
    EXPECT_EQ(bytes, p27);

    std::vector<uint8_t> p28{0x08, 28};
    p28.resize(30, 0x11);
    EXPECT_EQ(aStream_Write(cobs, p28.data(), p28.size()), aErrSize);
    EXPECT_EQ(link->writeSizes(), std::vector<size_t>{32});
    // The assembler is ready for the next packet.
    const uint8_t next[] = {0x04, 0x00};
    ASSERT_EQ(aStream_Write(cobs, next, 2), aErrNone);
    EXPECT_EQ(link->writeSizes(), (std::vector<size_t>{32, 5}));
}

// --- TCP socket stream ---

class Listener {
  public:
    Listener() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(fd_, 4);
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Listener() {
        if (peer_ >= 0)
            close(peer_);
        if (fd_ >= 0)
            close(fd_);
    }
    uint16_t port() const { return port_; }
    int accept() {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1)
            return -1;
        if (peer_ >= 0)
            close(peer_);
        peer_ = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        return peer_;
    }
    void closeListening() {
        close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
    int peer_ = -1;
    uint16_t port_ = 0;
};

TEST(SocketStream, ShortReadThenWholeReadInArrivalOrder) {
    Listener l;
    aStream *s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), l.port(), &s), aErrNone);
    const int peer = l.accept();
    ASSERT_GE(peer, 0);
    ASSERT_EQ(send(peer, "\x01\x02", 2, 0), 2);
    // Let both bytes arrive before the short read.
    EXPECT_EQ(readBytes(s, 2), (std::vector<uint8_t>{1, 2}));
    ASSERT_EQ(send(peer, "\x0A\x0B", 2, 0), 2);
    uint8_t buf[3];
    aErr err = aErrNone;
    for (int i = 0; i < 100 && err != aErrNotReady; ++i)
        err = aStream_Read(s, buf, 3);
    EXPECT_EQ(err, aErrNotReady);
    ASSERT_EQ(send(peer, "\x0C", 1, 0), 1);
    EXPECT_EQ(readBytes(s, 3), (std::vector<uint8_t>{0x0A, 0x0B, 0x0C}));

    const uint8_t out[] = {5, 6, 7};
    ASSERT_EQ(aStream_Write(s, out, 3), aErrNone);
    uint8_t got[3] = {};
    ASSERT_EQ(recv(peer, got, 3, MSG_WAITALL), 3);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 3), (std::vector<uint8_t>{5, 6, 7}));
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST(SocketStream, PeerThatDropsIsReportedOnceThenReconnected) {
    Listener l;
    aStream *s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), l.port(), &s), aErrNone);
    int peer = l.accept();
    ASSERT_GE(peer, 0);
    shutdown(peer, SHUT_RDWR);
    uint8_t b;
    aErr err = aErrNotReady;
    for (int i = 0; i < 300 && err == aErrNotReady; ++i)
        err = aStream_Read(s, &b, 1);
    EXPECT_EQ(err, aErrConnection);
    // The next read connects again; the new connection carries bytes.
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
    const int again = l.accept();
    ASSERT_GE(again, 0);
    ASSERT_EQ(send(again, "\x42", 1, 0), 1);
    EXPECT_EQ(readBytes(s, 1), std::vector<uint8_t>{0x42});
    aStream_Destroy(&s);
}

TEST(SocketStream, NobodyListeningGivesResource) {
    uint16_t port;
    {
        Listener l;
        port = l.port();
        l.closeListening();
    }
    aStream *s = reinterpret_cast<aStream *>(0x1);
    EXPECT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), port, &s), aErrResource);
    EXPECT_EQ(s, nullptr);
}

// --- serial stream over a pseudo-terminal ---

class Pty {
  public:
    Pty() {
        char name[256];
        termios raw{};
        cfmakeraw(&raw);
        EXPECT_EQ(openpty(&master, &slave, name, &raw, nullptr), 0);
        path = name;
    }
    ~Pty() {
        close(master);
        close(slave);
    }
    int master = -1;
    int slave = -1;
    std::string path;
};

TEST(SerialStream, MovesPacketizedFramesBothWays) {
    Pty pty;
    aStream *s = nullptr;
    ASSERT_EQ(aStream_CreateSerial_Packetized(pty.path.c_str(), 6, 0, 0, 0, &s), aErrNone);
    const uint8_t packet[] = {0x06, 0x02, 0x00, 0x01};
    ASSERT_EQ(aStream_Write(s, packet, sizeof packet), aErrNone);
    uint8_t frame[7] = {};
    size_t got = 0;
    for (int i = 0; i < 100 && got < 7; ++i) {
        pollfd p{pty.master, POLLIN, 0};
        if (poll(&p, 1, 50) == 1)
            got += static_cast<size_t>(read(pty.master, frame + got, 7 - got));
    }
    EXPECT_EQ(std::vector<uint8_t>(frame, frame + got),
              (std::vector<uint8_t>{0x03, 0x06, 0x02, 0x03, 0x01, 0x18, 0x00}));
    ASSERT_EQ(write(pty.master, "\x02\x04\x02\x3B\x00", 5), 5);
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(drainAnswers(s, &bytes).empty());
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x04, 0x00}));
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST(SerialStream, HungUpLineIsAnErrorThatTakesTheWait) {
    Pty pty;
    aStream *plain = nullptr, *framed = nullptr;
    ASSERT_EQ(aStream_CreateSerial(pty.path.c_str(), 6, 0, 0, 0, &plain), aErrNone);
    ASSERT_EQ(aStream_CreateSerial_Packetized(pty.path.c_str(), 6, 0, 0, 0, &framed), aErrNone);
    close(pty.master);
    pty.master = -1;
    uint8_t b;
    EXPECT_EQ(aStream_Read(plain, &b, 1), aErrIO);
    // The framing reports the dead line as "not ready" and the link asks again at
    // once: each answer must still take the short wait, or the link spins.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(aStream_Read(framed, &b, 1), aErrNotReady);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 90ms);
    aStream_Destroy(&plain);
    aStream_Destroy(&framed);
}

TEST(SerialStream, ClosingPutsBackTheEarlierSettings) {
    Pty pty;
    termios before{};
    ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
    before.c_lflag |= ECHO | ICANON;
    cfsetospeed(&before, B9600);
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &before), 0);
    ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
    aStream *s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(pty.path.c_str(), 7, 1, 1, 1, &s), aErrNone);
    termios during{};
    ASSERT_EQ(tcgetattr(pty.slave, &during), 0);
    EXPECT_EQ(during.c_lflag & (ECHO | ICANON), 0u);
    // A pseudo-terminal keeps 8 bits without parity whatever is asked; stop bits and speed stick.
    EXPECT_EQ(during.c_cflag & (CSTOPB | CLOCAL | CREAD), static_cast<tcflag_t>(CSTOPB | CLOCAL | CREAD));
    EXPECT_EQ(cfgetospeed(&during), static_cast<speed_t>(B230400));
    aStream_Destroy(&s);
    termios after{};
    ASSERT_EQ(tcgetattr(pty.slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

TEST(SerialStream, OpenFailuresMapToCodes) {
    aStream *s = nullptr;
    EXPECT_EQ(aStream_CreateSerial("/dev/does-not-exist-axolon", 6, 0, 0, 0, &s), aErrNotFound);
    EXPECT_EQ(aStream_CreateSerial(nullptr, 6, 0, 0, 0, &s), aErrParam);
    EXPECT_EQ(aStream_CreateSerial("/dev/null", 6, 0, 2, 0, &s), aErrParam);
    EXPECT_EQ(s, nullptr);
}

// Root opens any port, so the open is tried by a child that gives up root first; the
// child's exit status carries the code.
TEST(SerialStream, PortWithoutAccessRightsGivesPermission) {
    Pty pty;
    ASSERT_EQ(chmod(pty.path.c_str(), 0), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const uid_t nobody = 65534;
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0))
            _exit(255);
        aStream *s = nullptr;
        _exit(static_cast<int>(aStream_CreateSerial(pty.path.c_str(), 6, 0, 0, 0, &s)));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 255) << "could not give up root";
    EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(aErrPermission));
}
