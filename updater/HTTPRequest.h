#pragma once
#include <cstddef>
#include <map>
#include <string>

// Query parameters: unique keys, sent in ascending byte-wise key order.
using ParameterMap = std::map<std::string, std::string>;

// One answer of the update server: the URL that was asked, the HTTP status (0 until a
// response arrived) and the whole body as raw bytes.
class HTTPResponse {
  public:
    explicit HTTPResponse(const char *request);

    const char *get_request() const { return request.c_str(); }
    // Writable so that callers may tokenise the body in place; valid while the object
    // lives and is not modified.
    char *get_response() { return response.data(); }
    const std::string &body() const { return response; }
    // Hands the body over without a copy (a build image is tens of megabytes).
    std::string take_body() { return std::move(response); }
    long get_status() const { return static_cast<long>(status); }

    void set_status(long code) { status = code; }
    void process(const char *data, size_t length) { response.append(data, length); }
    void reserve(size_t length) { response.reserve(length); }

  private:
    std::string request;
    long long status = 0;
    std::string response;
};

// Limits that keep a dead or stalled server from hanging the program.
struct HTTPTimeouts {
    long connect_ms = 15000; // to establish the connection
    long stall_seconds = 60; // abort when below 1 byte/s for this long
};

class HTTPRequest {
  public:
    // Base URL, then "?" and key=value& for each parameter when there are any. Values are
    // sent as given: callers pass already-escaped text.
    static std::string BuildURL(const char *base_url, const ParameterMap &parameters);

    // One blocking GET on a fresh connection. Any HTTP status comes back in the response;
    // transport failures (refused, time-out, stall, TLS verification) throw
    // std::runtime_error with the HTTP library's text. Safe on any thread.
    static HTTPResponse GET(const char *base_url, ParameterMap &parameters);

    // Process-wide; the defaults suit users, tests shorten them.
    static void SetTimeouts(const HTTPTimeouts &timeouts);
    static HTTPTimeouts Timeouts();
};
