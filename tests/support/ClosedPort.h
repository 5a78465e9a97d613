#pragma once
#include <cstdint>
#include <string>

// A loopback port that is bound but never listens, so a connection to it is refused at
// once. Unlike the port of a server that was stopped, no other process (a parallel test
// starting its own server) can be handed this port while the object lives.
class ClosedPort {
  public:
    // Throws std::runtime_error when no port can be bound.
    ClosedPort();
    ~ClosedPort();
    ClosedPort(const ClosedPort &) = delete;
    ClosedPort &operator=(const ClosedPort &) = delete;

    uint16_t port() const { return port_; }
    // http://127.0.0.1:PORT + path
    std::string url(const std::string &path = "/cgi/u") const;

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};
