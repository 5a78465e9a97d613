#pragma once
#include <string>

#include "UpdaterDisplayInterface.h"

namespace cli {

// "Updater (Version: 2.12.1 <build date>)" as one informational message.
void _display_app_version(UpdaterDisplayInterface &display);

// The copyright line, its year taken from the build date; one informational message.
void _display_copyright(UpdaterDisplayInterface &display);

// The short usage, then with full the parameter and command block, the extended
// block when extended too, and the samples.
std::string _usage_text(bool extended, bool full);

// _usage_text written to standard error as it is, even when stdout is a terminal.
void _display_usage(bool extended, bool full);

} // namespace cli
