#include "HTTPRequest.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <stdexcept>
#include <vector>

#include "ClosedPort.h"
#include "SimHttpServer.h"
#include "SimProcess.h"
#include "TempDir.h"

namespace {

// A loopback server whose answer the test chooses, remembering every target it got.
class HTTPRequestTest : public ::testing::Test {
  protected:
    sim::SimReply reply{200, "ok\n"};
    std::mutex mutex;
    std::vector<std::string> targets;
    sim::SimHttpServer server{[this](const std::string &target) {
        std::lock_guard<std::mutex> lock(mutex);
        targets.push_back(target);
        return reply;
    }};

    std::string lastTarget() {
        std::lock_guard<std::mutex> lock(mutex);
        return targets.empty() ? "" : targets.back();
    }
};

std::string curlText(CURLcode code) { return curl_easy_strerror(code); }

// The text GET of url throws, or "no exception".
std::string failureOf(const std::string &url) {
    ParameterMap parameters{{"op", "hi"}};
    try {
        HTTPRequest::GET(url.c_str(), parameters);
        return "no exception";
    } catch (const std::runtime_error &e) {
        return e.what();
    }
}

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0)
            close(fd);
    }
};

} // namespace

TEST(HTTPRequestURL, KeysInAscendingOrderEachFollowedByAmpersand) {
    EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {}), "http://h/cgi/u");
    ParameterMap reversed;
    reversed["rv"] = "2";
    reversed["op"] = "hi";
    EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", reversed), "http://h/cgi/u?op=hi&rv=2&");
    // Byte-wise order: upper case before lower case.
    EXPECT_EQ(HTTPRequest::BuildURL("b", {{"b", "1"}, {"B", "2"}, {"a", ""}}), "b?B=2&a=&b=1&");
    // Values are sent as they stand: the callers escape.
    EXPECT_EQ(HTTPRequest::BuildURL("b", {{"fp", "0000000A%200000000B"}, {"x", "a&b=c"}}),
              "b?fp=0000000A%200000000B&x=a&b=c&");
}

TEST_F(HTTPRequestTest, SendsTheQueryAndReturnsStatusAndBody) {
    ParameterMap parameters{{"rv", "2"}, {"op", "hi"}, {"fp", "0000000A%200000000B"}};
    HTTPResponse response = HTTPRequest::GET(server.url().c_str(), parameters);
    EXPECT_EQ(lastTarget(), "/cgi/u?fp=0000000A%200000000B&op=hi&rv=2&");
    EXPECT_EQ(std::string(response.get_request()), server.url() + "?fp=0000000A%200000000B&op=hi&rv=2&");
    EXPECT_EQ(response.get_status(), 200);
    EXPECT_EQ(std::string(response.get_response()), "ok\n");
}

TEST_F(HTTPRequestTest, NoParametersMeansNoQuestionMark) {
    ParameterMap none;
    HTTPRequest::GET(server.url("/x").c_str(), none);
    EXPECT_EQ(lastTarget(), "/x");
}

TEST_F(HTTPRequestTest, ErrorStatusesComeBackWithTheirBody) {
    for (int status : {404, 500}) {
        reply = sim::SimReply{status, "gone\n"};
        ParameterMap parameters{{"op", "hi"}};
        HTTPResponse response = HTTPRequest::GET(server.url().c_str(), parameters);
        EXPECT_EQ(response.get_status(), status);
        EXPECT_EQ(response.body(), "gone\n");
    }
    reply = sim::SimReply{200, ""};
    ParameterMap parameters;
    HTTPResponse empty = HTTPRequest::GET(server.url().c_str(), parameters);
    EXPECT_EQ(empty.get_status(), 200);
    EXPECT_EQ(empty.body(), "");
}

// Chunk boundaries that do not fall on anything meaningful, and a body large enough to
// arrive in many callbacks, with a zero byte inside.
TEST_F(HTTPRequestTest, ChunkedAndLargeBodiesArriveWhole) {
    std::string large;
    for (int i = 0; i < 3 * 1024 * 1024; ++i)
        large += static_cast<char>(i * 7 + i / 251);
    const std::string small = large.substr(0, 20000);
    const std::pair<const std::string *, size_t> cases[] = {{&large, 0}, {&large, 65536}, {&small, 7}};
    for (const auto &[text, chunk] : cases) {
        const std::string &body = *text;
        reply = sim::SimReply{200, body};
        reply.chunkSize = chunk;
        ParameterMap parameters{{"op", "bird"}};
        HTTPResponse response = HTTPRequest::GET(server.url().c_str(), parameters);
        ASSERT_EQ(response.body().size(), body.size()) << "chunk " << chunk;
        EXPECT_TRUE(response.body() == body) << "chunk " << chunk;
    }
}

TEST(HTTPRequestDown, AServerThatIsDownThrowsTheLibraryText) {
    ClosedPort down;
    EXPECT_EQ(failureOf(down.url()), curlText(CURLE_COULDNT_CONNECT));
}

TEST_F(HTTPRequestTest, AStalledAnswerIsAbortedInsteadOfHanging) {
    HTTPTimeouts saved = HTTPRequest::Timeouts();
    HTTPRequest::SetTimeouts({saved.connect_ms, 1});
    reply = sim::SimReply{200, std::string(1000, 'x')};
    reply.stall = true;
    reply.stallAfter = 0;
    EXPECT_EQ(failureOf(server.url()), curlText(CURLE_OPERATION_TIMEDOUT));
    HTTPRequest::SetTimeouts(saved);
}

// A listener whose accept queue is full drops the connection request, so the connection
// is never made: only the connect limit ends the wait (the library's own is minutes).
TEST(HTTPRequestDown, AConnectionThatIsNeverAcceptedTimesOut) {
    Fd listener{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)}, queued{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    ASSERT_GE(listener.fd, 0);
    ASSERT_GE(queued.fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener.fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener.fd, 0), 0); // room for one pending connection, never accepted
    ASSERT_EQ(getsockname(listener.fd, reinterpret_cast<sockaddr *>(&address), &length), 0);
    ASSERT_EQ(connect(queued.fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);

    HTTPTimeouts saved = HTTPRequest::Timeouts();
    HTTPRequest::SetTimeouts({300, saved.stall_seconds});
    EXPECT_EQ(failureOf("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/cgi/u"),
              curlText(CURLE_OPERATION_TIMEDOUT));
    HTTPRequest::SetTimeouts(saved);
}

// A server whose certificate names the right host but is signed by nobody we trust must
// be refused: anyone on the path could otherwise hand out firmware.
TEST(HTTPRequestTls, AnUntrustedCertificateIsRefused) {
    const char *openssl = "/usr/bin/openssl";
    if (access(openssl, X_OK) != 0)
        GTEST_SKIP() << "openssl is not installed";
    TempDir dir;
    std::string make = std::string(openssl) +
                       " req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
                       "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
                       dir.file("key.pem") + " -out " + dir.file("cert.pem") + " >/dev/null 2>&1";
    ASSERT_EQ(system(make.c_str()), 0);
    // s_server announces its port as "ACCEPT 127.0.0.1:PORT", line-buffered only through stdbuf.
    SimProcess tls("/usr/bin/stdbuf",
                   {"-oL", openssl, "s_server", "-accept", "127.0.0.1:0", "-www", "-cert", dir.file("cert.pem"), "-key",
                    dir.file("key.pem")},
                   20000, "ACCEPT ");
    EXPECT_EQ(failureOf("https://" + tls.endpoint() + "/cgi/u"), curlText(CURLE_PEER_FAILED_VERIFICATION));
}
