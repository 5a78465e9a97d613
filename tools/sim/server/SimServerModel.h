#pragma once
// The local update server's behaviour: a request target in, an HTTP answer out. No I/O,
// so unit tests drive it directly; sim_server puts it behind a loopback HTTP listener.
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

struct SimDevice {
    std::string recommended;                     // build number text answered to op=qu
    std::string firmware = "FW";                 // identifier that op=bird must send back
    std::map<std::string, std::string> versions; // build text -> version text, for op=builds
    std::string token;                           // answered to op=ent_jwt; none: the request fails
};

struct SimRecovery {
    std::string fingerprint; // as sent: four "%08X" words joined by "%20"
    std::string serial;      // answer lines
    std::string build;
};

struct SimCatalogue {
    std::map<std::string, SimDevice> devices; // by serial, "%08X"
    std::vector<SimRecovery> recoveries;
    std::map<std::string, std::string> images; // "SERIAL/BUILD" -> BIRD file bytes
};

// Parses catalogue.txt. Lines (blank and #-lines ignored):
//   device SERIAL recommend BUILD [firmware ID] [token TOKEN]
//   build SERIAL BUILD VERSION
//   recovery W0 W1 W2 W3 SERIAL BUILD
// Throws std::runtime_error naming the bad line.
SimCatalogue ParseCatalogue(const std::string &text);

enum class FaultKind {
    Status500,     // HTTP 500 with a body
    NotOk,         // 200, but the first line is "error"
    Stall,         // headers and part of the body, then nothing more
    Truncate,      // image Base64 cut short (length not a multiple of 4)
    InvalidBase64, // image Base64 holds a character outside the alphabet
    NotBird,       // valid Base64 of bytes that are no BIRD image
};

struct SimFault {
    FaultKind kind;
    std::string op; // the op= value it applies to; empty: every request
};

// Parses "KIND[:OP]" with KIND one of status500, error, stall, truncate, badchar, notbird.
SimFault ParseFault(const std::string &text);

struct SimReply {
    int status = 200;
    std::string body;
    bool stall = false; // send headers and stallAfter bytes of the body, then hang
    size_t stallAfter = 0;
    size_t chunkSize = 0; // non-zero: chunked transfer encoding in chunks of this size
};

std::string Base64Encode(const std::string &bytes);

class SimServerModel {
  public:
    explicit SimServerModel(SimCatalogue catalogue, std::vector<SimFault> faults = {});

    // target is the request target as received ("/cgi/u?op=hi&rv=2&"); any path is accepted.
    // Thread-safe; every call is recorded.
    SimReply Answer(const std::string &target);

    // Every target received, in arrival order.
    std::vector<std::string> Records() const;

  private:
    SimReply answer_op(const std::map<std::string, std::string> &query);

    SimCatalogue catalogue_;
    std::vector<SimFault> faults_;
    std::map<std::string, std::string> encoded_; // "SERIAL/BUILD" -> Base64, made once
    mutable std::mutex mutex_;
    std::vector<std::string> records_;
};

} // namespace sim
