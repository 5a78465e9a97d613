#include "UpdateServerRequest.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <tuple>
#include <utility>

#include "Log.h"
#include "ServerDefaults.h"

namespace {

// strtok_r over a view: runs of separators count as one, leading ones are skipped, and
// the separator that ends a token is consumed. No copy and no writes into the body.
class _Tokens {
  public:
    explicit _Tokens(std::string_view text) : text_(text) {}
    std::optional<std::string_view> next(std::string_view separators) {
        bool is_separator[256] = {};
        for (char c : separators)
            is_separator[static_cast<unsigned char>(c)] = true;
        auto separator = [&](size_t i) { return is_separator[static_cast<unsigned char>(text_[i])]; };
        size_t start = pos_;
        while (start < text_.size() && separator(start))
            ++start;
        if (start == text_.size()) {
            pos_ = start;
            return std::nullopt;
        }
        // A lone separator (the usual line feed) is found with memchr: an image line is
        // tens of megabytes long.
        size_t end = start;
        if (separators.size() == 1) {
            end = text_.find(separators[0], start);
            if (end == std::string_view::npos)
                end = text_.size();
        } else {
            while (end < text_.size() && !separator(end))
                ++end;
        }
        pos_ = end < text_.size() ? end + 1 : end;
        return text_.substr(start, end - start);
    }

  private:
    std::string_view text_;
    size_t pos_ = 0;
};

const char *_base(const char *url) { return url ? url : kDefaultServerUrl; }

std::string _serial_text(uint32_t serial) {
    char text[16];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

// The common part of every request: GET, status 200, first line beginning with "ok".
// On success the response is returned with its tokenizer standing after the first line.
std::optional<HTTPResponse> _ask(const char *name, const char *url, ParameterMap &parameters) {
    try {
        HTTPResponse response = HTTPRequest::GET(_base(url), parameters);
        if (response.get_status() != 200) {
            if (std::string_view(name) == "ping")
                Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response.get_status()),
                         response.get_response());
            else
                Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, static_cast<int>(response.get_status()),
                         response.get_response());
            return std::nullopt;
        }
        if (!UpdateServerRequest::AnswerIsOk(response.body())) {
            Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request());
            return std::nullopt;
        }
        return response;
    } catch (const std::exception &e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        return std::nullopt;
    }
}

// Lines after the "ok" line of a body that _ask accepted.
_Tokens _after_ok(std::string_view body) {
    _Tokens lines(body);
    lines.next("\n");
    return lines;
}

} // namespace

bool UpdateServerRequest::AnswerIsOk(std::string_view body) {
    _Tokens lines(body);
    auto first = lines.next("\n");
    return first && first->substr(0, 2) == "ok";
}

bool UpdateServerRequest::ping(const char *url) {
    ParameterMap parameters{{"op", "hi"}, {"rv", "2"}};
    return _ask("ping", url, parameters).has_value();
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string &build, std::string &firmware, const char *url) {
    ParameterMap parameters{{"op", "qu"}, {"sn", _serial_text(serial)}};
    auto response = _ask("QueryBuild", url, parameters);
    if (!response)
        return false;
    ParseQueryBuild(response->body(), build, firmware);
    return true;
}

void UpdateServerRequest::ParseQueryBuild(std::string_view body, std::string &build, std::string &firmware) {
    _Tokens lines = _after_ok(body);
    if (auto line = lines.next("\n"))
        build.assign(*line);
    if (auto token = lines.next("\r\n"))
        firmware.assign(*token);
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const char *firmware, const char *build, std::string &image,
                                   const char *url, bool no_calibration) {
    ParameterMap parameters{{"bld", build ? build : ""},
                            {"fw", firmware ? firmware : ""},
                            {"no_cal", no_calibration ? "true" : "false"},
                            {"op", "bird"},
                            {"sn", _serial_text(serial)}};
    auto response = _ask("GetBuild", url, parameters);
    if (!response)
        return false;
    ParseBuild(response->take_body(), image);
    return true;
}

void UpdateServerRequest::ParseBuild(std::string body, std::string &image) {
    image.clear();
    _Tokens lines = _after_ok(body);
    auto line = lines.next("\n");
    if (!line)
        return;
    // Cut the image line out of the body in place: the answer can be tens of megabytes.
    size_t offset = static_cast<size_t>(line->data() - body.data());
    size_t length = line->size();
    image = std::move(body);
    image.resize(offset + length);
    image.erase(0, offset);
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, BuildList &builds, const char *url) {
    builds.clear();
    ParameterMap parameters{{"op", "builds"}, {"sn", _serial_text(serial)}};
    auto response = _ask("GetBuildList", url, parameters);
    if (!response)
        return false;
    ParseBuildList(response->body(), builds);
    return true;
}

void UpdateServerRequest::ParseBuildList(std::string_view body, BuildList &builds) {
    builds.clear();
    _Tokens lines = _after_ok(body);
    while (auto line = lines.next("\n")) {
        if (line->size() < 3)
            continue;
        std::string entry(*line);
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", entry.c_str());
        _Tokens fields(entry);
        auto number = fields.next(";\r\n");
        if (!number)
            continue; // nothing but separators
        auto version = fields.next(";\r\n");
        std::string key(*number), value(version ? *version : std::string_view{});
        builds.emplace(key, value);
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", key.c_str(), value.c_str());
    }
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t fingerprint[4], uint32_t *serial, uint32_t *build,
                                          const char *url) {
    char fp[64];
    snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1], fingerprint[2],
             fingerprint[3]);
    ParameterMap parameters{{"brief", "true"}, {"fp", fp}, {"op", "fix"}};
    auto response = _ask("GetRecoveryInfo", url, parameters);
    if (!response)
        return false;
    ParseRecoveryInfo(response->body(), serial, build);
    return true;
}

void UpdateServerRequest::ParseRecoveryInfo(std::string_view body, uint32_t *serial, uint32_t *build) {
    _Tokens lines = _after_ok(body);
    auto serial_line = lines.next("\n");
    auto build_line = lines.next("\n");
    std::string serial_text(serial_line.value_or("")), build_text(build_line.value_or(""));
    if (serial_line && serial)
        *serial = static_cast<uint32_t>(strtoul(serial_text.c_str(), nullptr, 16));
    if (build_line && build)
        *build = static_cast<uint32_t>(strtoul(build_text.c_str(), nullptr, 0));
    std::string first(body.substr(0, body.find('\n')));
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", first.c_str(), serial_text.c_str(),
             build_text.c_str());
}

bool UpdateServerRequest::GetDeviceJWT(uint32_t serial, std::string &token, const char *url) {
    ParameterMap parameters{{"json", "false"}, {"op", "ent_jwt"}, {"sn", _serial_text(serial)}};
    auto response = _ask("GetDeviceJWT", url, parameters);
    if (!response)
        return false;
    return ParseDeviceJWT(response->body(), token);
}

bool UpdateServerRequest::ParseDeviceJWT(std::string_view body, std::string &token) {
    _Tokens lines = _after_ok(body);
    auto line = lines.next("\n");
    if (!line || line->size() <= 2)
        return false;
    std::string entry(*line);
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetDeviceJWT", entry.c_str());
    _Tokens parts(entry);
    auto header = parts.next(".");
    auto payload = parts.next(".");
    auto signature = parts.next("\r\n");
    for (const auto &part : {header, payload, signature})
        if (!part || part->size() < 2)
            return false;
    token = std::string(*header) + "." + std::string(*payload) + "." + std::string(*signature);
    return true;
}

std::vector<std::string> UpdateServerRequest::SplitAxolonVersion(std::string version) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t dot = version.find('.', start);
        if (dot == std::string::npos) {
            parts.push_back(version.substr(start));
            break;
        }
        parts.push_back(version.substr(start, dot - start));
        start = dot + 1;
    }
    if (parts.size() != 3)
        parts.clear();
    return parts;
}

namespace {

// (major, minor, patch), each cut to its low 8 bits, or nothing when the text does not parse.
std::optional<std::tuple<uint8_t, uint8_t, uint8_t>> _parse_version(const std::string &text) {
    auto parts = UpdateServerRequest::SplitAxolonVersion(text);
    if (parts.empty())
        return std::nullopt;
    try {
        return std::make_tuple(static_cast<uint8_t>(std::stoi(parts[0])), static_cast<uint8_t>(std::stoi(parts[1])),
                               static_cast<uint8_t>(std::stoi(parts[2])));
    } catch (const std::exception &e) {
        Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", e.what());
        return std::nullopt;
    }
}

} // namespace

bool UpdateServerRequest::VersionGoesBefore(const std::string &a, const std::string &b) {
    auto va = _parse_version(a), vb = _parse_version(b);
    return va && vb && *va > *vb;
}

SortedBuildList UpdateServerRequest::SortBuildsByVersion(const BuildList &builds) {
    // Parse once; an entry whose version does not parse is incomparable with every other,
    // which is no strict weak order, so such entries are kept apart and go last.
    struct Keyed {
        std::optional<std::tuple<uint8_t, uint8_t, uint8_t>> version;
        std::pair<std::string, std::string> entry;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(builds.size());
    for (const auto &entry : builds)
        keyed.push_back({_parse_version(entry.second), entry});
    std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed &a, const Keyed &b) {
        if (a.version && b.version)
            return *a.version > *b.version;
        return a.version.has_value() && !b.version.has_value();
    });
    SortedBuildList sorted;
    sorted.reserve(keyed.size());
    for (auto &k : keyed)
        sorted.push_back(std::move(k.entry));
    return sorted;
}
