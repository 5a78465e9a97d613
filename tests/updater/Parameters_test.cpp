#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "Log.h"
#include "Parameters.h"

namespace {

// Keeps what the parser says to the user.
class RecordingDisplay : public UpdaterDisplayInterface {
  public:
    std::vector<std::string> errors;
    std::vector<std::string> infos;
    void display_progress(bool) override {}
    void update_progress(double, const char *) override {}
    void update_spinner(bool, const char *) override {}
    void info_message(const char *text) override { infos.emplace_back(text); }
    void error_message(const char *text) override { errors.emplace_back(text); }
};

struct Parsed {
    int result;
    Parameters params;
    std::vector<std::string> errors;
    std::vector<std::string> argvAfter;
    unsigned packages; // debug packages switched on by the parse
};

Parsed parse(std::vector<std::string> words, const char *program = "/usr/bin/updater") {
    words.insert(words.begin(), program);
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    RecordingDisplay display;
    Parsed out{};
    Log::DeactivatePackage(~0u);
    out.result = cli::_get_params(display, static_cast<int>(words.size()), argv.data(), &out.params);
    out.packages = Log::Packages();
    Log::DeactivatePackage(~0u);
    out.errors = display.errors;
    for (size_t i = 0; i < words.size(); ++i)
        out.argvAfter.emplace_back(argv[i]);
    EXPECT_TRUE(display.infos.empty());
    return out;
}

using Check = std::function<void(const Parsed &)>;

struct ParseCase {
    const char *name;
    std::vector<std::string> words;
    int result;
    std::vector<std::string> errors;
    Check check;
};

bool onlyCommands(const Parameters &p, uint32_t bits) {
    const uint32_t all[] = {CMD_DISCOVER,    CMD_UPDATE, CMD_LIST_BUILDS, CMD_GET_BUILD,  CMD_INFO, CMD_CHECK_BIRD,
                            CMD_FINGERPRINT, CMD_Z,      CMD_GET_JWT,     CMD_LIST_LOCAL, CMD_HELP};
    for (uint32_t bit : all)
        if (p.commands.IsSet(bit) != ((bits & bit) != 0))
            return false;
    return true;
}

std::string transportError(const char *arg) {
    char buffer[256];
    snprintf(buffer, sizeof buffer, "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER",
             arg);
    return buffer;
}

const ParseCase kCases[] = {
    {"Defaults",
     {},
     0,
     {},
     [](const Parsed &r) {
         const Parameters &p = r.params;
         EXPECT_TRUE(onlyCommands(p, 0));
         EXPECT_EQ(p.transport, TRANSPORT_USB);
         EXPECT_FALSE(p.transport_given);
         EXPECT_EQ(p.baud_rate, 115200u);
         EXPECT_EQ(p.server_url, std::string("http://") + kDefaultServerHost + "/cgi/u");
         EXPECT_EQ(p.log_file, "Updater.log");
         EXPECT_EQ(p.log_mode, "a+");
         EXPECT_TRUE(p.uei_bytes_load);
         EXPECT_TRUE(p.build.empty());
         EXPECT_EQ(p.program_name, "updater");
     }},
    {"UnknownOptionDroppedSilently",
     {"-q", "-D"},
     0,
     {},
     [](const Parsed &r) { EXPECT_TRUE(onlyCommands(r.params, CMD_DISCOVER)); }},
    {"LettersAreNeverCombined",
     {"-DU"},
     0,
     {},
     [](const Parsed &r) { EXPECT_FALSE(r.params.commands.IsSet(kAnyCommand)); }},
    {"ArgumentIsNeverGlued",
     {"-d1234ABCD", "-B"},
     0,
     {},
     [](const Parsed &r) {
         EXPECT_EQ(r.params.serial_number, 0u);
         EXPECT_TRUE(onlyCommands(r.params, CMD_LIST_BUILDS));
     }},
    {"ArgumentAfterEquals",
     {"-d=40F5849A", "-B"},
     0,
     {},
     [](const Parsed &r) {
         EXPECT_EQ(r.params.serial_number, 0x40F5849Au);
         EXPECT_TRUE(onlyCommands(r.params, CMD_LIST_BUILDS));
     }},
    {"SerialWithLowerCasePrefix",
     {"-d", "0x40f5849a"},
     0,
     {},
     [](const Parsed &r) { EXPECT_EQ(r.params.serial_number, 0x40F5849Au); }},
    {"SerialZeroRejected", {"-d", "0"}, 1, {"Invalid serial number obtained from argument [0]"}, nullptr},
    {"SerialWithNonHexRejected", {"-d", "12G4"}, 1, {"Invalid serial number obtained from argument [12G4]"}, nullptr},
    {"SerialPrefixOnlyRejected", {"-d", "0X"}, 1, {"Invalid serial number obtained from argument []"}, nullptr},
    {"SerialEmptyAfterEqualsRejected", {"-d="}, 1, {"Invalid serial number obtained from argument []"}, nullptr},
    // Nine digits would otherwise wrap into another device's serial number.
    {"SerialWiderThan32BitsRejected",
     {"-d", "140F5849A"},
     1,
     {"Invalid serial number obtained from argument [140F5849A]"},
     nullptr},
    {"RejectionDoesNotStopParsing",
     {"-d", "0", "-B", "-d", "1"},
     1,
     {"Invalid serial number obtained from argument [0]"},
     [](const Parsed &r) {
         EXPECT_EQ(r.params.serial_number, 1u);
         EXPECT_TRUE(onlyCommands(r.params, CMD_LIST_BUILDS));
     }},
    {"ArgumentBeginningWithDashIsAnOption",
     {"-d", "-B"},
     0,
     {},
     [](const Parsed &r) {
         EXPECT_EQ(r.params.serial_number, 0u);
         EXPECT_TRUE(onlyCommands(r.params, CMD_LIST_BUILDS));
     }},
    {"MissingArgumentDropped", {"-B", "-d"}, 0, {}, [](const Parsed &r) { EXPECT_EQ(r.params.serial_number, 0u); }},
    {"UnwantedArgumentDropsOption",
     {"-B=1", "-e=x"},
     0,
     {},
     [](const Parsed &r) {
         EXPECT_TRUE(onlyCommands(r.params, 0));
         EXPECT_FALSE(r.params.echo_bytes);
     }},
    {"OverrideAbbreviated",
     {"-OVER"},
     0,
     {},
     [](const Parsed &r) {
         EXPECT_TRUE(r.params.override);
         EXPECT_FALSE(r.params.commands.IsSet(kAnyCommand));
     }},
    {"OverrideShortestAbbreviation", {"-O"}, 0, {}, [](const Parsed &r) { EXPECT_TRUE(r.params.override); }},
    {"OverrideTooLongIsUnknown", {"-OVERRIDES"}, 0, {}, [](const Parsed &r) { EXPECT_FALSE(r.params.override); }},
    {"HelpAbbreviatedAndEndsParsing",
     {"--he", "-Y", "-d", "0"},
     0,
     {},
     [](const Parsed &r) {
         EXPECT_TRUE(r.params.help);
         EXPECT_TRUE(onlyCommands(r.params, CMD_HELP));
     }},
    {"HelpBeforeDebugMask",
     {"-h", "-X", "1"},
     0,
     {},
     [](const Parsed &r) {
         EXPECT_TRUE(r.params.help);
         EXPECT_FALSE(r.params.debug_given);
         EXPECT_EQ(r.packages, 0u);
     }},
    {"DebugMaskBeforeHelp",
     {"-X", "1", "-H"},
     0,
     {},
     [](const Parsed &r) {
         EXPECT_TRUE(r.params.help);
         EXPECT_TRUE(r.params.debug_given);
         EXPECT_EQ(r.packages, 1u);
     }},
    {"HelpAfterRejectionStillAccepts",
     {"-Y", "-h"},
     0,
     {"Unhandled command: [-Y]"},
     [](const Parsed &r) { EXPECT_TRUE(r.params.help); }},
    {"DashCountMustMatch",
     {"-help", "--h", "--B", "--"},
     0,
     {},
     [](const Parsed &r) {
         // --h is the only abbreviation here (of --help); the others are unknown.
         EXPECT_TRUE(r.params.help);
     }},
    {"SingleDashWordsAreUnknown",
     {"-he", "-", "--"},
     0,
     {},
     [](const Parsed &r) {
         EXPECT_FALSE(r.params.help);
         EXPECT_TRUE(onlyCommands(r.params, 0));
     }},
    {"TransportLowerCaseRejected",
     {"-t", "usb"},
     1,
     {transportError("usb")},
     [](const Parsed &r) {
         EXPECT_EQ(r.params.transport, 0u);
         EXPECT_TRUE(r.params.transport_given);
     }},
    {"TransportTcpip",
     {"-t", "TCPIP"},
     0,
     {},
     [](const Parsed &r) {
         EXPECT_EQ(r.params.transport, TRANSPORT_TCPIP);
         EXPECT_TRUE(r.params.transport_given);
     }},
    {"TransportUsbPrefix",
     {"-t", "USBX"},
     0,
     {},
     [](const Parsed &r) { EXPECT_EQ(r.params.transport, TRANSPORT_USB); }},
    {"TransportRecover",
     {"-t=RECOVERY"},
     0,
     {},
     [](const Parsed &r) { EXPECT_EQ(r.params.transport, TRANSPORT_RECOVER); }},
    {"TransportRecoverNeedsSevenLetters", {"-t", "RECOVE"}, 1, {transportError("RECOVE")}, nullptr},
    {"UnhandledCommand", {"-Y"}, 1, {"Unhandled command: [-Y]"}, nullptr},
    {"BuildWithNonDigitIsZero",
     {"-b", "12x", "-G", "-d", "1"},
     0,
     {},
     [](const Parsed &r) {
         EXPECT_EQ(r.params.build, "0");
         EXPECT_TRUE(onlyCommands(r.params, CMD_GET_BUILD));
     }},
    {"BuildLeadingZerosDropped", {"-b", "0099"}, 0, {}, [](const Parsed &r) { EXPECT_EQ(r.params.build, "99"); }},
    {"BuildWiderThan32BitsIsZero",
     {"-b", "4294967296"},
     0,
     {},
     [](const Parsed &r) { EXPECT_EQ(r.params.build, "0"); }},
    {"DebugMaskLeftOverCharacters",
     {"-X", "12q", "-C"},
     0,
     {"Invalid format for \"-X\" parameter, unprocessed characters [q]"},
     [](const Parsed &r) {
         EXPECT_TRUE(r.params.debug_given);
         EXPECT_EQ(r.packages, 0u);
         EXPECT_TRUE(onlyCommands(r.params, CMD_CHECK_BIRD));
     }},
    {"DebugMaskHex",
     {"-X", "0x30"},
     0,
     {},
     [](const Parsed &r) {
         EXPECT_EQ(r.params.debug_mask, 0x30u);
         EXPECT_EQ(r.packages, 0x30u);
     }},
    {"DebugMaskDecimal", {"-X", "65536"}, 0, {}, [](const Parsed &r) { EXPECT_EQ(r.packages, 0x10000u); }},
    {"DebugMasksAccumulate", {"-X", "1", "-X", "0X20"}, 0, {}, [](const Parsed &r) { EXPECT_EQ(r.packages, 0x21u); }},
    {"UeiBytesOff", {"-m", "0"}, 0, {}, [](const Parsed &r) { EXPECT_FALSE(r.params.uei_bytes_load); }},
    {"UeiBytesOne", {"-m", "1x"}, 0, {}, [](const Parsed &r) { EXPECT_TRUE(r.params.uei_bytes_load); }},
    {"UeiBytesTrue", {"-m", "trueish"}, 0, {}, [](const Parsed &r) { EXPECT_TRUE(r.params.uei_bytes_load); }},
    {"UeiBytesOtherWord", {"-m", "yes"}, 0, {}, [](const Parsed &r) { EXPECT_FALSE(r.params.uei_bytes_load); }},
    {"BaudRate", {"-o", "9600"}, 0, {}, [](const Parsed &r) { EXPECT_EQ(r.params.baud_rate, 9600u); }},
    {"BaudRateNonDigitIsZero", {"-o", "96k"}, 0, {}, [](const Parsed &r) { EXPECT_EQ(r.params.baud_rate, 0u); }},
    {"RouterSerial",
     {"-r", "0XD272031D"},
     0,
     {},
     [](const Parsed &r) { EXPECT_EQ(r.params.router_serial, 0xD272031Du); }},
    {"RouterSerialRejected", {"-r", "zz"}, 1, {"Invalid router serial number obtained from argument [zz]"}, nullptr},
    {"TextParameters",
     {"-i", "/data", "-f", "a.bird", "-k", "x.log", "-l", "msg", "-s=/dev/ttyS0", "-u", "http://127.0.0.1:1/cgi/u"},
     0,
     {},
     [](const Parsed &r) {
         EXPECT_EQ(r.params.store_dir, "/data");
         EXPECT_EQ(r.params.bird_file, "a.bird");
         EXPECT_EQ(r.params.log_file, "x.log");
         EXPECT_EQ(r.params.history_message, "msg");
         EXPECT_EQ(r.params.serial_port, "/dev/ttyS0");
         EXPECT_EQ(r.params.server_url, "http://127.0.0.1:1/cgi/u");
     }},
    {"FlagsAndZ",
     {"-e", "-n", "-Z", "anything"},
     0,
     {},
     [](const Parsed &r) {
         EXPECT_TRUE(r.params.echo_bytes);
         EXPECT_TRUE(r.params.option_n);
         EXPECT_TRUE(onlyCommands(r.params, CMD_Z));
         EXPECT_TRUE(r.params.commands.IsSet(kAnyCommand));
     }},
    {"EveryCommandLetter",
     {"-B", "-L", "-D", "-G", "-I", "-U", "-N", "-C", "-J"},
     0,
     {},
     [](const Parsed &r) {
         EXPECT_TRUE(onlyCommands(r.params, CMD_LIST_BUILDS | CMD_LIST_LOCAL | CMD_DISCOVER | CMD_GET_BUILD | CMD_INFO |
                                                CMD_UPDATE | CMD_FINGERPRINT | CMD_CHECK_BIRD | CMD_GET_JWT));
     }},
    {"NonOptionsMovedBehindOptions",
     {"stray", "-B", "x", "-d", "1", "-t", "-C"},
     0,
     {},
     [](const Parsed &r) {
         EXPECT_EQ(r.argvAfter,
                   (std::vector<std::string>{"/usr/bin/updater", "-B", "-d", "1", "-t", "-C", "stray", "x"}));
     }},
};

// Named in failure output instead of a byte dump.
void PrintTo(const ParseCase &c, std::ostream *os) { *os << c.name; }

class GetParams : public ::testing::TestWithParam<ParseCase> {};

TEST_P(GetParams, Parses) {
    const ParseCase &c = GetParam();
    Parsed r = parse(c.words);
    EXPECT_EQ(r.result, c.result);
    EXPECT_EQ(r.errors, c.errors);
    if (c.check)
        c.check(r);
}

INSTANTIATE_TEST_SUITE_P(, GetParams, ::testing::ValuesIn(kCases),
                         [](const auto &p) { return std::string(p.param.name); });

TEST(GetParamsLine, ProgramNameAfterLastSlashOrBackslash) {
    EXPECT_EQ(parse({}, "updater").params.program_name, "updater");
    EXPECT_EQ(parse({}, "./bin/updater").params.program_name, "updater");
    EXPECT_EQ(parse({}, "C:\\tools\\upd.exe").params.program_name, "upd.exe");
}

TEST(GetParamsLine, NoWordsAtAll) {
    Parameters params;
    RecordingDisplay display;
    EXPECT_EQ(cli::_get_params(display, 0, nullptr, &params), 0);
    EXPECT_FALSE(params.commands.IsSet(kAnyCommand | CMD_HELP));
}

struct NumberCase {
    const char *text;
    int base;
    uint32_t value;
    long endOffset; // -1: end left as the caller set it
};

const NumberCase kNumbers[] = {
    {"40f5849A", 16, 0x40F5849A, 8},
    {"FFFFFFFF", 16, 0xFFFFFFFF, 8},
    {"00000000FFFFFFFF", 16, 0xFFFFFFFF, 16},
    {"100000000", 16, 0, 9},
    {"", 16, 0, 0},
    {"12G4", 16, 0, -1},
    {"0x12", 16, 0, -1},
    {" 12", 16, 0, -1},
    {"-1", 16, 0, -1},
    {"0099", 10, 99, 4},
    {"4294967295", 10, 4294967295u, 10},
    {"4294967296", 10, 0, 10},
    {"12x", 10, 0, -1},
    {"+5", 10, 0, -1},
    {"1A", 10, 0, -1},
};

TEST(GetArg, ConvertsOnlyWholeDigitStrings) {
    for (const NumberCase &n : kNumbers) {
        char sentinel = 0;
        char *end = &sentinel;
        uint32_t v = n.base == 16 ? cli::_get_hex_arg(n.text, &end) : cli::_get_int_arg(n.text, &end);
        EXPECT_EQ(v, n.value) << n.text;
        if (n.endOffset < 0)
            EXPECT_EQ(end, &sentinel) << n.text;
        else
            EXPECT_EQ(end, n.text + n.endOffset) << n.text;
    }
}

TEST(GetArg, NullEndGivesZero) {
    EXPECT_EQ(cli::_get_hex_arg("1234", nullptr), 0u);
    EXPECT_EQ(cli::_get_int_arg("1234", nullptr), 0u);
}

TEST(CommandsClass, IsSetTestsAnyBitOfAMask) {
    CommandsClass c;
    EXPECT_FALSE(c.IsSet(0xFFFFFFFF));
    c.Set(CMD_LIST_LOCAL);
    EXPECT_TRUE(c.IsSet(kAnyCommand));
    EXPECT_TRUE(c.IsSet(CMD_LIST_LOCAL | CMD_DISCOVER));
    EXPECT_FALSE(c.IsSet(CMD_DISCOVER));
    CommandsClass help;
    help.Set(CMD_HELP);
    EXPECT_FALSE(help.IsSet(kAnyCommand));
}

} // namespace
