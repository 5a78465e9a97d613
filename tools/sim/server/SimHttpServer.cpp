#include "SimHttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace sim {

namespace {

constexpr int kReadTimeoutMs = 10000;

const char *_reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

// Waits until fd is ready for `events` or the server stops; false on stop, time-out or error.
bool _wait(int fd, short events, int wake_fd, int timeout_ms) {
    pollfd fds[2] = {{fd, events, 0}, {wake_fd, POLLIN, 0}};
    for (;;) {
        int n = poll(fds, 2, timeout_ms);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || (fds[1].revents & POLLIN))
            return false;
        return (fds[0].revents & (events | POLLHUP | POLLERR)) != 0;
    }
}

bool _send_all(int fd, const char *data, size_t length, int wake_fd) {
    while (length > 0) {
        ssize_t n = send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!_wait(fd, POLLOUT, wake_fd, kReadTimeoutMs))
                return false;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

SimHttpServer::SimHttpServer(Handler handler) : handler_(std::move(handler)) {
    if (pipe2(wake_, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listen_fd_, 64) != 0 || getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        int saved = errno;
        if (listen_fd_ >= 0)
            close(listen_fd_);
        close(wake_[0]);
        close(wake_[1]);
        throw std::runtime_error(std::string("cannot listen on 127.0.0.1: ") + strerror(saved));
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
}

SimHttpServer::~SimHttpServer() { stop(); }

std::string SimHttpServer::url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void SimHttpServer::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_)
            return;
        stopped_ = true;
    }
    char byte = 1;
    (void)!write(wake_[1], &byte, 1);
    acceptor_.join();
    // The acceptor has ended, so nothing adds to the list any more.
    for (auto &t : connections_)
        t.join();
    close(listen_fd_);
    close(wake_[0]);
    close(wake_[1]);
}

void SimHttpServer::accept_loop() {
    for (;;) {
        if (!_wait(listen_fd_, POLLIN, wake_[0], -1))
            return;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::lock_guard<std::mutex> lock(mutex_);
        connections_.emplace_back([this, fd] { serve(fd); });
    }
}

void SimHttpServer::serve(int fd) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        if (!_wait(fd, POLLIN, wake_[0], kReadTimeoutMs)) {
            close(fd);
            return;
        }
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            close(fd);
            return;
        }
        request.append(buffer, static_cast<size_t>(n));
    }
    // Request line: METHOD SP TARGET SP VERSION
    std::string line = request.substr(0, request.find("\r\n"));
    size_t sp1 = line.find(' '), sp2 = line.rfind(' ');
    SimReply reply;
    if (sp1 == std::string::npos || sp2 <= sp1) {
        reply = SimReply{400, "error\nbad request line\n"};
    } else if (line.substr(0, sp1) != "GET") {
        reply = SimReply{405, "error\nonly GET\n"};
    } else {
        reply = handler_(line.substr(sp1 + 1, sp2 - sp1 - 1));
    }

    std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + _reason(reply.status) +
                       "\r\nContent-Type: text/plain\r\nConnection: close\r\n";
    head += reply.chunkSize ? "Transfer-Encoding: chunked\r\n"
                            : "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    head += "\r\n";
    bool sent = _send_all(fd, head.data(), head.size(), wake_[0]);
    if (sent && reply.stall) {
        _send_all(fd, reply.body.data(), reply.stallAfter, wake_[0]);
        // Hold the connection open without a further byte until the server stops.
        _wait(wake_[0], POLLIN, wake_[0], -1);
    } else if (sent && reply.chunkSize) {
        for (size_t at = 0; sent && at < reply.body.size(); at += reply.chunkSize) {
            size_t n = std::min(reply.chunkSize, reply.body.size() - at);
            char size_line[32];
            int len = snprintf(size_line, sizeof size_line, "%zx\r\n", n);
            sent = _send_all(fd, size_line, static_cast<size_t>(len), wake_[0]) &&
                   _send_all(fd, reply.body.data() + at, n, wake_[0]) && _send_all(fd, "\r\n", 2, wake_[0]);
        }
        if (sent)
            _send_all(fd, "0\r\n\r\n", 5, wake_[0]);
    } else if (sent) {
        _send_all(fd, reply.body.data(), reply.body.size(), wake_[0]);
    }
    shutdown(fd, SHUT_WR);
    close(fd);
}

} // namespace sim
