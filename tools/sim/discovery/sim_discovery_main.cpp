// A device that only answers TCP/IP discovery queries.
//
//   sim_discovery --serial HEX [--module N] [--port N] [--model N] [--reply-length N]
//
// Prints "READY <serial>" once it has joined the group; stops on SIGTERM or SIGINT.
#include "DiscoveryResponder.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

int _usage() {
    std::cerr << "usage: sim_discovery --serial HEX [--module N] [--port N] [--model N] [--reply-length N]\n";
    return 2;
}

bool _number(const char *text, unsigned long max, unsigned long *value, int base = 0) {
    char *end = nullptr;
    *value = std::strtoul(text, &end, base);
    return end != text && *end == '\0' && *value <= max;
}

} // namespace

int main(int argc, char **argv) {
    sim::DiscoveryIdentity identity;
    bool haveSerial = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            return _usage();
        unsigned long value = 0;
        const char *text = argv[++i];
        if (arg == "--serial" && _number(text, 0xFFFFFFFFul, &value, 16)) {
            identity.serial = static_cast<uint32_t>(value);
            haveSerial = true;
        } else if (arg == "--module" && _number(text, 255, &value))
            identity.module = static_cast<uint8_t>(value);
        else if (arg == "--port" && _number(text, 65535, &value))
            identity.tcpPort = static_cast<uint16_t>(value);
        else if (arg == "--model" && _number(text, 255, &value))
            identity.model = static_cast<uint8_t>(value);
        else if (arg == "--reply-length" && _number(text, 16, &value))
            identity.replyLength = value;
        else
            return _usage();
    }
    if (!haveSerial)
        return _usage();

    // Signals wait here, not in the responder's thread.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    sim::DiscoveryResponder responder;
    std::string error;
    if (!responder.start(identity, &error)) {
        std::cerr << "sim_discovery: " << error << "\n";
        return 1;
    }
    std::printf("READY %08X\n", identity.serial);
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stopSignals, &signal);
    responder.stop();
    return 0;
}
