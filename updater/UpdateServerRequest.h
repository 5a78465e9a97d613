#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "HTTPRequest.h"

// Build number text -> version text ("major.minor.patch"), in ascending key order.
using BuildList = ParameterMap;
// (build text, version text) pairs, newest version first.
using SortedBuildList = std::vector<std::pair<std::string, std::string>>;

// The six questions the update server answers. Each performs one GET, checks that the
// status is 200 and the first line begins with "ok", and parses the remaining lines.
// All return false on any failure, with the detail in the debug log (DEBUG_ServerComm);
// none prints or throws. A null url means the default update server.
class UpdateServerRequest {
  public:
    static bool ping(const char *url);
    // build: the recommended build as decimal text (may keep a trailing "\r");
    // firmware: an opaque identifier to hand back to GetBuild.
    static bool QueryBuild(uint32_t serial, std::string &build, std::string &firmware, const char *url);
    // image: the BIRD file as one line of Base64 text.
    static bool GetBuild(uint32_t serial, const char *firmware, const char *build, std::string &image, const char *url,
                         bool no_calibration);
    // builds is cleared first, so it is empty after any failure.
    static bool GetBuildList(uint32_t serial, BuildList &builds, const char *url);
    static bool GetRecoveryInfo(const uint32_t fingerprint[4], uint32_t *serial, uint32_t *build, const char *url);
    static bool GetDeviceJWT(uint32_t serial, std::string &token, const char *url);

    // The answer parsers behind the requests above, given the body of a status-200 answer.
    // AnswerIsOk is the check every request makes: the first line begins with "ok". The
    // others read the lines after that first line and have the same results as their request.
    static bool AnswerIsOk(std::string_view body);
    static void ParseQueryBuild(std::string_view body, std::string &build, std::string &firmware);
    // Takes the body, so that the image line is cut out of it without a copy.
    static void ParseBuild(std::string body, std::string &image);
    static void ParseBuildList(std::string_view body, BuildList &builds);
    static void ParseRecoveryInfo(std::string_view body, uint32_t *serial, uint32_t *build);
    static bool ParseDeviceJWT(std::string_view body, std::string &token);

    // Newest version first. Versions that are not three numbers go last, in key order.
    static SortedBuildList SortBuildsByVersion(const BuildList &builds);
    // The three parts of "a.b.c" (empty parts kept), or nothing unless there are exactly three.
    static std::vector<std::string> SplitAxolonVersion(std::string version);
    // Whether a's version goes before b's (is newer); false when either does not parse.
    static bool VersionGoesBefore(const std::string &a, const std::string &b);
};
