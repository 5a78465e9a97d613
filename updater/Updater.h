#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "BirdFile.h"
#include "UpdateServerRequest.h"
#include "UpdaterDisplayInterface.h"

class UpdaterStore;

// The orchestration object behind every command: it talks to the update server, the
// local store and (in later operations) the devices. Operations report failures through
// the display and return an empty result or 0; only load_bird throws. Main thread only;
// a download runs its server request on a worker thread of its own.
class Updater {
  public:
    Updater(const char *server_url, const char *store_path, UpdaterDisplayInterface &display);

    // The server's builds for the device; empty on any failure (after a message).
    BuildList Get_BuildList(uint32_t serial);
    // The store's files for the device: name up to ".bird" -> the image's version, or ""
    // for a file that is not an image.
    BuildList Get_BuildListLocal(uint32_t serial);
    // The device's token; empty on failure.
    std::string Get_JWT(uint32_t serial);

    // Fetches a build (empty text or 0: the server's recommended build) into
    // store/SERIAL/BUILD.bird and records it as the latest download. Returns the build
    // number, or 0 when no usable image was stored; a failed download leaves the store
    // as it was. The image request runs on a worker thread while the spinner turns.
    uint32_t Download_Firmware(uint32_t serial, std::string build, bool override, bool no_calibration);

    // The image to install: bird_file when given, else store/SERIAL/BUILD.bird, downloaded
    // first when missing and download_missing is set. purpose starts the message
    // ("Updating", "Recovering"). Throws std::runtime_error when no image can be had.
    BirdFile load_bird(const char *purpose, std::string bird_file, uint32_t serial, uint32_t build,
                       bool download_missing);

  protected:
    // A new store at store_path, or null after showing "Failed to Create UpdaterStore ...".
    static std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface &display,
                                                             const std::string &store_path, const char *caller);
    // Whether the server lists build for the device.
    static bool _valid_build(uint32_t serial, uint32_t build, const char *url);

    std::string server_url;
    std::string store_path;
    UpdaterDisplayInterface &display;
};

namespace cli {

// "Build List for device [%08X]:" with an empty line, the heading and one line per build,
// newest version first, each column cut and padded to 15 characters; or only
// "No builds found for device [%08X]".
void _display_builds(UpdaterDisplayInterface &display, const BuildList &builds, uint32_t serial);
// The token as one line.
void _display_jwt(UpdaterDisplayInterface &display, const std::string &token);

} // namespace cli
