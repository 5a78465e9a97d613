#include "Parameters.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Log.h"

namespace {

enum OptionKind { KIND_END = -1, KIND_HELP = 0, KIND_COMMAND = 1, KIND_PARAMETER = 2 };

struct OptionEntry {
    int kind;
    const char *text;
    int argument; // 0 none, 1 one argument
};

// Searched in order; handlers dispatch on the kind and the second character of text.
const OptionEntry kOptions[] = {
    {KIND_COMMAND, "-B", 0},   {KIND_COMMAND, "-L", 0},   {KIND_COMMAND, "-D", 0},        {KIND_COMMAND, "-G", 0},
    {KIND_COMMAND, "-I", 0},   {KIND_COMMAND, "-U", 0},   {KIND_COMMAND, "-OVERRIDE", 0}, {KIND_COMMAND, "-N", 0},
    {KIND_COMMAND, "-Y", 0},   {KIND_COMMAND, "-C", 0},   {KIND_COMMAND, "-J", 0},        {KIND_HELP, "-h", 0},
    {KIND_HELP, "-H", 0},      {KIND_PARAMETER, "-n", 0}, {KIND_PARAMETER, "-X", 1},      {KIND_PARAMETER, "-Z", 1},
    {KIND_PARAMETER, "-m", 1}, {KIND_PARAMETER, "-i", 1}, {KIND_PARAMETER, "-b", 1},      {KIND_PARAMETER, "-d", 1},
    {KIND_PARAMETER, "-t", 1}, {KIND_PARAMETER, "-f", 1}, {KIND_PARAMETER, "-r", 1},      {KIND_PARAMETER, "-s", 1},
    {KIND_PARAMETER, "-o", 1}, {KIND_PARAMETER, "-e", 0}, {KIND_PARAMETER, "-l", 1},      {KIND_PARAMETER, "-k", 1},
    {KIND_PARAMETER, "-u", 1}, {KIND_HELP, "--help", 0},  {KIND_END, nullptr, 0},
};

size_t _leading_dashes(const std::string &text) {
    size_t n = 0;
    while (n < text.size() && text[n] == '-')
        ++n;
    return n;
}

// Exact match first; otherwise a unique proper beginning with at least one letter
// after the dashes. Null for unknown and ambiguous names.
const OptionEntry *_find_option(const std::string &name) {
    size_t dashes = _leading_dashes(name);
    for (const OptionEntry *e = kOptions; e->kind != KIND_END; ++e)
        if (name == e->text)
            return e;
    if (name.size() <= dashes)
        return nullptr;
    const OptionEntry *found = nullptr;
    int matches = 0;
    for (const OptionEntry *e = kOptions; e->kind != KIND_END; ++e) {
        std::string text = e->text;
        if (_leading_dashes(text) != dashes || name.size() >= text.size())
            continue;
        if (text.compare(0, name.size(), name) == 0) {
            found = e;
            ++matches;
        }
    }
    return matches == 1 ? found : nullptr;
}

bool _has_hex_prefix(const char *text) { return text[0] == '0' && (text[1] == 'x' || text[1] == 'X'); }

// Shared by -d and -r: a serial number in hex, with an optional 0x prefix; 0 is no serial.
bool _parse_serial(UpdaterDisplayInterface &display, const char *arg, uint32_t *out, bool router) {
    const char *text = arg;
    if (_has_hex_prefix(text)) {
        if (router)
            Log::log(DEBUG_Updater, "Discarding '0x' router serial number prefix\n");
        else
            Log::log(DEBUG_Updater, "Discarding '0x' serial number prefix\n");
        text += 2;
    }
    char *end = nullptr;
    *out = cli::_get_hex_arg(text, &end);
    if (*out != 0)
        return true;
    if (router)
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid router serial number obtained from argument [%s]", text);
    else
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Invalid serial number obtained from argument [%s]",
                        text);
    return false;
}

// Returns false when the option is rejected.
bool _handle_command(UpdaterDisplayInterface &display, const OptionEntry &entry, Parameters *params) {
    switch (entry.text[1]) {
    case 'B':
        params->commands.Set(CMD_LIST_BUILDS);
        break;
    case 'L':
        params->commands.Set(CMD_LIST_LOCAL);
        break;
    case 'D':
        params->commands.Set(CMD_DISCOVER);
        break;
    case 'G':
        params->commands.Set(CMD_GET_BUILD);
        break;
    case 'I':
        params->commands.Set(CMD_INFO);
        break;
    case 'U':
        params->commands.Set(CMD_UPDATE);
        break;
    case 'N':
        params->commands.Set(CMD_FINGERPRINT);
        break;
    case 'C':
        params->commands.Set(CMD_CHECK_BIRD);
        break;
    case 'J':
        params->commands.Set(CMD_GET_JWT);
        break;
    case 'O':
        params->override = true;
        break;
    default:
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Unhandled command: [%s]", entry.text);
        return false;
    }
    return true;
}

void _handle_debug_mask(UpdaterDisplayInterface &display, const char *arg, Parameters *params) {
    params->debug_given = true;
    char *end = nullptr;
    unsigned long mask = strtoul(arg, &end, _has_hex_prefix(arg) ? 16 : 10);
    params->debug_mask = static_cast<uint32_t>(mask);
    if (end != nullptr && *end != '\0') {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid format for \"%s\" parameter, unprocessed characters [%s]", "-X", end);
        return;
    }
    Log::ActivatePackage(params->debug_mask);
}

bool _handle_parameter(UpdaterDisplayInterface &display, const OptionEntry &entry, const char *arg,
                       Parameters *params) {
    char *end = nullptr;
    switch (entry.text[1]) {
    case 'n':
        params->option_n = true;
        break;
    case 'e':
        params->echo_bytes = true;
        break;
    case 'X':
        _handle_debug_mask(display, arg, params);
        break;
    case 'Z':
        params->commands.Set(CMD_Z);
        break;
    case 'm':
        params->uei_bytes_load = arg[0] == '1' || strncmp(arg, "true", 4) == 0;
        break;
    case 'i':
        params->store_dir = arg;
        break;
    case 'f':
        params->bird_file = arg;
        break;
    case 'k':
        params->log_file = arg;
        break;
    case 'l':
        params->history_message = arg;
        break;
    case 's':
        params->serial_port = arg;
        break;
    case 'u':
        params->server_url = arg;
        break;
    case 'b':
        params->build = std::to_string(cli::_get_int_arg(arg, &end));
        break;
    case 'o':
        params->baud_rate = cli::_get_int_arg(arg, &end);
        break;
    case 'd':
        return _parse_serial(display, arg, &params->serial_number, false);
    case 'r':
        return _parse_serial(display, arg, &params->router_serial, true);
    case 't':
        params->transport_given = true;
        if (strncmp(arg, "USB", 3) == 0) {
            params->transport = TRANSPORT_USB;
        } else if (strncmp(arg, "TCP", 3) == 0) {
            params->transport = TRANSPORT_TCPIP;
        } else if (strncmp(arg, "RECOVER", 7) == 0) {
            params->transport = TRANSPORT_RECOVER;
        } else {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER", arg);
            params->transport = 0;
            return false;
        }
        break;
    default:
        break;
    }
    return true;
}

uint32_t _get_arg(const char *text, char **end, int base) {
    if (end == nullptr || text == nullptr)
        return 0;
    for (const char *p = text; *p != '\0'; ++p)
        if (base == 16 ? !isxdigit(static_cast<unsigned char>(*p)) : !isdigit(static_cast<unsigned char>(*p)))
            return 0;
    unsigned long value = strtoul(text, end, base);
    // A longer number must not wrap into another device's serial or another build.
    if (value > 0xFFFFFFFFul)
        return 0;
    return static_cast<uint32_t>(value);
}

} // namespace

namespace cli {

uint32_t _get_hex_arg(const char *text, char **end) { return _get_arg(text, end, 16); }

uint32_t _get_int_arg(const char *text, char **end) { return _get_arg(text, end, 10); }

int _get_params(UpdaterDisplayInterface &display, int argc, char **argv, Parameters *params) {
    if (argc > 0 && argv[0] != nullptr) {
        const char *name = argv[0];
        for (const char *p = argv[0]; *p != '\0'; ++p)
            if (*p == '/' || *p == '\\')
                name = p + 1;
        params->program_name = name;
    }

    int result = 0;
    std::vector<char *> options;
    std::vector<char *> set_aside;
    int i = 1;
    while (i < argc) {
        char *word = argv[i++];
        if (word[0] != '-') {
            set_aside.push_back(word);
            continue;
        }
        options.push_back(word);
        const char *equals = strchr(word, '=');
        const OptionEntry *entry =
            _find_option(equals ? std::string(word, static_cast<size_t>(equals - word)) : std::string(word));
        if (entry == nullptr)
            continue;
        const char *arg = nullptr;
        if (entry->argument == 0) {
            if (equals != nullptr)
                continue;
        } else if (equals != nullptr) {
            arg = equals + 1;
        } else if (i < argc && argv[i][0] != '-') {
            arg = argv[i++];
            options.push_back(const_cast<char *>(arg));
        } else {
            continue; // the next word, if any, is examined as an option of its own
        }

        bool accepted = true;
        switch (entry->kind) {
        case KIND_HELP:
            params->commands.Set(CMD_HELP);
            params->help = true;
            return 0;
        case KIND_COMMAND:
            accepted = _handle_command(display, *entry, params);
            break;
        case KIND_PARAMETER:
            accepted = _handle_parameter(display, *entry, arg, params);
            break;
        default:
            break;
        }
        if (!accepted)
            result = 1;
    }

    // Options first, then the words that were set aside, as the log shows them.
    int slot = 1;
    for (char *word : options)
        argv[slot++] = word;
    for (char *word : set_aside)
        argv[slot++] = word;

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params->program_name.c_str());
    for (int w = 0; w < argc; ++w)
        Log::log(DEBUG_APP, "\t[%s]\n", argv[w]);
    return result;
}

} // namespace cli
