#pragma once
#include <cstdint>
#include <string>

#include "ServerDefaults.h"
#include "UpdaterDisplayInterface.h"

// One bit per command of the command line.
enum COMMANDS : uint32_t {
    CMD_DISCOVER = 0x1,
    CMD_UPDATE = 0x2,
    CMD_LIST_BUILDS = 0x4,
    CMD_GET_BUILD = 0x8,
    CMD_INFO = 0x10,
    CMD_CHECK_BIRD = 0x20,
    CMD_FINGERPRINT = 0x40,
    CMD_Z = 0x80,
    CMD_GET_JWT = 0x100,
    CMD_LIST_LOCAL = 0x200,
    CMD_HELP = 0x80000000,
};

// Any of these bits makes the line a command rather than a request for usage.
inline constexpr uint32_t kAnyCommand = 0x307FF;

class CommandsClass {
  public:
    void Set(COMMANDS c) { word |= c; }
    // True when any bit of mask is set, so a whole mask can be tested at once.
    bool IsSet(uint32_t mask) const { return (word & mask) != 0; }

  private:
    uint32_t word = 0;
};

// Transport values: the USB and TCP/IP link types, and serial recovery.
inline constexpr uint32_t TRANSPORT_USB = 1;
inline constexpr uint32_t TRANSPORT_TCPIP = 2;
inline constexpr uint32_t TRANSPORT_RECOVER = 255;

// The parsed command line; owned by main for the whole run.
struct Parameters {
    CommandsClass commands;
    uint32_t serial_number = 0;
    uint32_t router_serial = 0;
    uint32_t transport = TRANSPORT_USB;
    bool transport_given = false;
    std::string serial_port;
    uint32_t baud_rate = 115200;
    std::string bird_file;
    std::string history_message;
    std::string build; // decimal text; empty means no build chosen
    bool echo_bytes = false;
    std::string server_url = kDefaultServerUrl;
    bool option_n = false;
    std::string store_dir;
    std::string program_name;
    std::string log_file = "Updater.log"; // never opened: the log goes to stderr
    std::string log_mode = "a+";
    bool override = false;
    bool uei_bytes_load = true;
    uint32_t debug_mask = 0;
    bool debug_given = false;
    bool help = false;
};

namespace cli {

// Fills params from the words of argv. Returns 0 when the line was accepted (also
// after a help option, which ends parsing) and 1 when an option was rejected; the
// reasons go to display at error level. Unknown, ambiguous or malformed options are
// dropped silently. Words that are not options are moved behind the options and
// otherwise ignored. -X switches its debug packages on at once.
int _get_params(UpdaterDisplayInterface &display, int argc, char **argv, Parameters *params);

// text as an unsigned number in base 16 (or 10). 0 when end is null, when text holds
// a character that is not a digit of the base, or when the value does not fit in 32
// bits; otherwise end is set past the digits. Empty text gives 0.
uint32_t _get_hex_arg(const char *text, char **end);
uint32_t _get_int_arg(const char *text, char **end);

} // namespace cli
