#include <string>

#include "CLI_Display.h"
#include "Log.h"
#include "Parameters.h"
#include "Updater.h"
#include "Usage.h"
#include "aDirectory.h"
#include "path.h"

namespace {

// The store lives in <parent>/updater, the parent being -i or ~/.tervane.
// Returns false after reporting why there is no store directory.
bool _resolve_store_dir(UpdaterDisplayInterface &display, Parameters &params) {
    if (params.store_dir.empty()) {
        char home[2048];
        aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
        if (err != aErrNone) {
            Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", static_cast<int>(err));
            return false;
        }
        params.store_dir = BuildPath(home, ".tervane", nullptr);
    }
    params.store_dir = BuildPath(params.store_dir.c_str(), "updater", nullptr);
    if (aDirectory_Ensure(params.store_dir.c_str(), 0755) != aErrNone) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not find updater directory at %s",
                        params.store_dir.c_str());
        return false;
    }
    return true;
}

// -B, -L and -J all need a device; without one the run ends with the short usage.
bool _require_serial(UpdaterDisplayInterface &display, const Parameters &params, const char *command) {
    if (params.serial_number != 0)
        return true;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error must supply a serial number for the %s command",
                    command);
    cli::_display_usage(false, false);
    return false;
}

// Commands whose device operations this version does not have yet end the run with a
// plain error, so a script never mistakes "nothing done" for success.
int _unavailable(UpdaterDisplayInterface &display, const char *what) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s is not available in this version of Updater", what);
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);

    if (cli::_get_params(display, argc, argv, &params) == 1) {
        cli::_display_app_version(display);
        cli::_display_copyright(display);
        cli::_display_usage(false, false);
        return 1;
    }
    cli::_display_app_version(display);

    if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(kAnyCommand)) {
        cli::_display_copyright(display);
        cli::_display_usage(params.debug_given, params.help);
        return 0;
    }

    if (!_resolve_store_dir(display, params))
        return 1;

    Updater updater(params.server_url.c_str(), params.store_dir.c_str(), display);
    int status = 0;

    // Fingerprint first, then download; each leaves its outcome in status and the run goes on.
    if (params.commands.IsSet(CMD_FINGERPRINT)) {
        if (params.serial_port.empty()) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Must specify the serial port used for connecting");
            return 1;
        }
        status = _unavailable(display, "Reading a chip's fingerprint (-N)");
    }

    if (params.commands.IsSet(CMD_GET_BUILD)) {
        if (params.serial_number == 0) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "-G must specify a specific device via -d");
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "--help for usage information");
            return 1;
        }
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "Retrieving firmware for device with serial number %08X",
                        params.serial_number);
        if (params.build.empty()) {
            display.message(UpdaterDisplayInterface::LEVEL_INFO, "No build specified");
            display.message(UpdaterDisplayInterface::LEVEL_INFO, "Using Latest build");
        } else {
            display.message(UpdaterDisplayInterface::LEVEL_INFO, "Retrieving firmware build %s", params.build.c_str());
        }
        // The build it stores replaces params.build so a later -U installs exactly that build.
        uint32_t stored = updater.Download_Firmware(params.serial_number, params.build, params.override, false);
        if (stored != 0) {
            params.build = std::to_string(stored);
            status = 0;
        } else {
            status = 1;
        }
    }

    // Exactly one of these runs: the first whose command was given.
    if (params.commands.IsSet(CMD_DISCOVER)) {
        return _unavailable(display, "Device discovery (-D)");
    } else if (params.commands.IsSet(CMD_UPDATE)) {
        // A recovery over params.serial_port needs no serial number.
        if (params.transport != TRANSPORT_RECOVER && params.serial_number == 0) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Must specify the specific device to be updated");
            return 1;
        }
        return _unavailable(display, params.transport == TRANSPORT_RECOVER ? "Recovery (-U -t RECOVER)"
                                                                           : "Firmware update (-U)");
    } else if (params.commands.IsSet(CMD_LIST_BUILDS)) {
        if (!_require_serial(display, params, "List Builds"))
            return 1;
        cli::_display_builds(display, updater.Get_BuildList(params.serial_number), params.serial_number);
        return 0;
    } else if (params.commands.IsSet(CMD_LIST_LOCAL)) {
        if (!_require_serial(display, params, "List Local Builds"))
            return 1;
        cli::_display_builds(display, updater.Get_BuildListLocal(params.serial_number), params.serial_number);
        return 0;
    } else if (params.commands.IsSet(CMD_GET_JWT)) {
        if (!_require_serial(display, params, "Get JWT"))
            return 1;
        cli::_display_jwt(display, updater.Get_JWT(params.serial_number));
        return 0;
    }
    return status;
}
