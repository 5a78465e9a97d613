#include "Updater.h"

#include <chrono>
#include <cstdlib>
#include <future>
#include <limits>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "KeyValueStore.h"
#include "Log.h"
#include "ServerDefaults.h"
#include "UpdaterStore.h"
#include "base64.h"

namespace {

constexpr auto kSpinnerPeriod = std::chrono::milliseconds(100);

struct FreeDeleter {
    void operator()(unsigned char *p) const { free(p); }
};

// Decimal text as a build number: leading blanks allowed, conversion stops at the first
// non-digit. Nothing for text that does not start with a number or does not fit 32 bits;
// a minus sign is refused rather than wrapped to a huge build.
std::optional<uint32_t> _parse_build(const std::string &text) {
    size_t first = text.find_first_not_of(" \t\n\v\f\r");
    if (first != std::string::npos && text[first] == '-')
        return std::nullopt;
    try {
        unsigned long value = std::stoul(text, nullptr, 10);
        if (value > std::numeric_limits<uint32_t>::max())
            return std::nullopt;
        return static_cast<uint32_t>(value);
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

// A build number text from a server or a store key; 0 (with a log line) when it is none.
uint32_t _build_or_zero(const std::string &text) {
    auto build = _parse_build(text);
    if (!build)
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
    return build.value_or(0);
}

} // namespace

Updater::Updater(const char *server_url_, const char *store_path_, UpdaterDisplayInterface &display_)
    : server_url(server_url_ ? server_url_ : kDefaultServerUrl), store_path(store_path_ ? store_path_ : ""),
      display(display_) {}

std::unique_ptr<UpdaterStore> Updater::_createUpdaterStore(UpdaterDisplayInterface &display,
                                                           const std::string &store_path, const char *caller) {
    try {
        return std::make_unique<UpdaterStore>(store_path.c_str());
    } catch (const std::runtime_error &e) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to Create UpdaterStore in: %s - Exception: %s",
                        caller, e.what());
        return nullptr;
    }
}

BuildList Updater::Get_BuildList(uint32_t serial) {
    BuildList builds;
    if (!UpdateServerRequest::ping(server_url.c_str()))
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s", server_url.c_str());
    else if (!UpdateServerRequest::GetBuildList(serial, builds, server_url.c_str()))
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve builds for %08X", serial);
    return builds;
}

std::string Updater::Get_JWT(uint32_t serial) {
    std::string token;
    if (!UpdateServerRequest::ping(server_url.c_str())) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s", server_url.c_str());
    } else if (!UpdateServerRequest::GetDeviceJWT(serial, token, server_url.c_str())) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve jwt for %08X", serial);
        token.clear();
    }
    return token;
}

BuildList Updater::Get_BuildListLocal(uint32_t serial) {
    BuildList builds;
    auto store = _createUpdaterStore(display, store_path, "Get_BuildListLocal");
    if (!store)
        return builds;
    std::vector<UpdaterStoreItem> items;
    store->FindLocalBuilds(serial, items);
    for (const auto &item : items) {
        const std::string &name = item.Name();
        std::string key = name.substr(0, name.find(".bird"));
        std::string version;
        if (item.IsValid()) {
            std::string file = item.Path() + "/" + name;
            if (BirdFile::VerifyFile(file.c_str())) {
                try {
                    std::string found = BirdFile(file.c_str()).GetVersion();
                    if (!found.empty()) {
                        Log::log(DEBUG_Updater, "Found VERSION %s in birdfile: %s\n", found.c_str(), file.c_str());
                        version = found;
                    }
                } catch (const std::runtime_error &) {
                    // Passes the header check but does not load: listed without a version.
                }
            } else {
                Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", file.c_str());
            }
        }
        builds.emplace(key, version);
    }
    return builds;
}

bool Updater::_valid_build(uint32_t serial, uint32_t build, const char *url) {
    BuildList builds;
    if (!UpdateServerRequest::GetBuildList(serial, builds, url))
        return false;
    for (const auto &entry : builds)
        if (_build_or_zero(entry.first) == build)
            return true;
    return false;
}

uint32_t Updater::Download_Firmware(uint32_t serial, std::string build, bool override, bool no_calibration) {
    using Level = UpdaterDisplayInterface::Level;
    uint32_t build_number = 0;
    if (!build.empty()) {
        auto parsed = _parse_build(build);
        if (!parsed) {
            display.message(Level::LEVEL_ERROR, "Build number '%s' must be an number", build.c_str());
            return 0;
        }
        build_number = *parsed;
    }
    if (serial == 0) {
        display.message(Level::LEVEL_ERROR, "Serial Number must be non-zero");
        return 0;
    }
    if (!UpdateServerRequest::ping(server_url.c_str())) {
        display.message(Level::LEVEL_ERROR, "Server request failed for %s", server_url.c_str());
        return 0;
    }
    auto store = _createUpdaterStore(display, store_path, "Download_Firmware");
    if (!store)
        return 0;
    UpdaterStoreItem device;
    try {
        if (!store->FindDevice(serial, nullptr))
            Log::log(DEBUG_APP, "Could not find device in our update history.\n");
        // Always the exact SERIAL directory: the search also matches names that merely
        // contain the serial number.
        device = store->AddDevice(serial);
    } catch (const std::runtime_error &) {
        display.message(Level::LEVEL_ERROR, "Could not create directory for storing BIRD file");
        return 0;
    }

    std::string server_build, firmware;
    if (!UpdateServerRequest::QueryBuild(serial, server_build, firmware, server_url.c_str())) {
        display.message(Level::LEVEL_ERROR, "No build information for device");
        return 0;
    }
    if (build_number == 0)
        build_number = _build_or_zero(server_build);

    display.message(Level::LEVEL_INFO, "Retrieving build %u", build_number);
    if (override) {
        display.message(Level::LEVEL_INFO, "Override specified, skipping validation of build %u", build_number);
    } else {
        display.message(Level::LEVEL_INFO, "Validating build %u with server", build_number);
        if (!_valid_build(serial, build_number, server_url.c_str())) {
            display.message(Level::LEVEL_ERROR, "No valid build %u", build_number);
            return 0;
        }
        display.message(Level::LEVEL_INFO, "Build %u is valid", build_number);
    }

    // The request runs on a worker that owns copies of its inputs and writes only image
    // and the promise; the main thread reads image only after the result is delivered.
    const std::string build_text = std::to_string(build_number);
    std::string image;
    bool fetched = false;
    {
        std::promise<bool> promise;
        std::future<bool> result = promise.get_future();
        std::jthread worker([serial, firmware, build_text, url = server_url, no_calibration, &image,
                             promise = std::move(promise)]() mutable {
            bool ok = false;
            try {
                ok = UpdateServerRequest::GetBuild(serial, firmware.c_str(), build_text.c_str(), image, url.c_str(),
                                                   no_calibration);
            } catch (...) {
                ok = false; // out of memory for the answer: a failed download
            }
            promise.set_value(ok);
        });
        display.update_spinner(true, "Downloading");
        while (result.wait_for(kSpinnerPeriod) != std::future_status::ready)
            display.update_spinner(true, "Downloading");
        display.update_spinner(false, "Downloading");
        fetched = result.get();
        worker.join();
    }
    if (!fetched)
        display.message(Level::LEVEL_ERROR, "Download failed");
    if (image.empty()) {
        display.message(Level::LEVEL_ERROR, "Failed to retrieve a valid BIRD file");
        return 0;
    }

    // Only an image that decodes and loads may replace what the store holds.
    size_t length = 0;
    std::unique_ptr<unsigned char, FreeDeleter> bytes(base64_decode(image.data(), image.size(), &length));
    std::string().swap(image); // the text is no longer needed; keep the peak down
    bool usable = false;
    if (!bytes) {
        Log::log(DEBUG_Updater, "Download_Firmware: the image text is not Base64\n");
    } else {
        BirdFile check;
        usable = check.LoadBuffer(bytes.get(), length);
        if (!usable)
            Log::log(DEBUG_Updater, "Download_Firmware: the %zu bytes received are no BIRD image\n", length);
    }
    if (!usable) {
        display.message(Level::LEVEL_ERROR, "Failed to retrieve a valid BIRD file");
        return 0;
    }

    const std::string name = build_text + ".bird";
    const std::string when = KeyValueStore::TimeText();
    aErr written = device.WriteFile(name.c_str(), bytes.get(), length);
    bytes.reset();
    if (written != aErrNone) {
        display.message(Level::LEVEL_ERROR, "Failed to write file with %d", static_cast<int>(written));
        return 0;
    }
    device.Settings().Add("LATEST_DOWNLOAD", name);
    device.Settings().Add("LAST_DOWNLOAD_DATE", when);
    device.Settings().Save();
    return build_number;
}

BirdFile Updater::load_bird(const char *purpose, std::string bird_file, uint32_t serial, uint32_t build,
                            bool download_missing) {
    auto store = _createUpdaterStore(display, store_path, "load_bird");
    if (!store)
        return BirdFile();
    if (!bird_file.empty()) {
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s from Birdfile: %s", purpose, bird_file.c_str());
        return BirdFile(bird_file.c_str());
    }
    UpdaterStoreItem device = store->AddDevice(serial);
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s firmware with build: %u", purpose, build);
    const std::string name = std::to_string(build) + ".bird";
    try {
        return device.ReadBirdFile(name.c_str());
    } catch (const std::runtime_error &) {
        if (!download_missing)
            throw std::runtime_error("Error reading birdfile");
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Downloading firmware build %u", build);
    Download_Firmware(serial, std::to_string(build), false, false);
    return device.ReadBirdFile(name.c_str());
}

namespace cli {

void _display_builds(UpdaterDisplayInterface &display, const BuildList &builds, uint32_t serial) {
    if (builds.empty()) {
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "No builds found for device [%08X]", serial);
        return;
    }
    // The embedded line feed and the display's own leave an empty line under the title.
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Build List for device [%08X]:\n", serial);
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const auto &[build, version] : UpdateServerRequest::SortBuildsByVersion(builds))
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "%-15.15s\t%-15.15s", build.c_str(), version.c_str());
}

void _display_jwt(UpdaterDisplayInterface &display, const std::string &token) {
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", token.c_str());
}

} // namespace cli
