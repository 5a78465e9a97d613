#pragma once
// A small HTTP/1.1 server on 127.0.0.1 at a port the system picks. One thread accepts,
// one thread per connection answers; every answer closes its connection.
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SimServerModel.h"

namespace sim {

class SimHttpServer {
  public:
    using Handler = std::function<SimReply(const std::string &target)>;

    // Listens at once; throws std::runtime_error when it cannot.
    explicit SimHttpServer(Handler handler);
    ~SimHttpServer();
    SimHttpServer(const SimHttpServer &) = delete;
    SimHttpServer &operator=(const SimHttpServer &) = delete;

    uint16_t port() const { return port_; }
    // http://127.0.0.1:PORT + path
    std::string url(const std::string &path = "/cgi/u") const;

    // Stops accepting, releases stalled answers, joins every thread. Idempotent.
    void stop();

  private:
    void accept_loop();
    void serve(int fd);

    Handler handler_;
    int listen_fd_ = -1;
    int wake_[2] = {-1, -1}; // written once by stop() to release every wait
    uint16_t port_ = 0;
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<std::thread> connections_;
    bool stopped_ = false;
};

} // namespace sim
