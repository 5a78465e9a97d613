// The local update server: answers the update server's six requests on a loopback port
// from a catalogue folder, records every request target, and fails on demand.
//
//   sim_server --catalogue DIR [--record FILE] [--fault KIND[:OP]]...
//   sim_server --sample [--record FILE] [--fault KIND[:OP]]...
//
// DIR/catalogue.txt lists devices, builds and recovery fingerprints (see SimServerModel.h);
// DIR/SERIAL/BUILD.bird are the images. Prints "READY <url>" once listening; stops on
// SIGTERM or SIGINT. --sample serves a small built-in catalogue for demonstrations:
// device 40F5849A with builds 100, 110 and 120 (recommended) and a token.
#include <dirent.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "BirdBuilder.h"
#include "SimHttpServer.h"
#include "SimServerModel.h"

namespace {

std::string _read(const std::string &path, bool required) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (required)
            throw std::runtime_error("cannot read " + path);
        return "";
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Every DIR/SERIAL/BUILD.bird becomes an image of that device and build.
void _load_images(const std::string &dir, sim::SimCatalogue &catalogue) {
    DIR *top = opendir(dir.c_str());
    if (!top)
        throw std::runtime_error("cannot open catalogue folder " + dir);
    while (dirent *device = readdir(top)) {
        std::string serial = device->d_name;
        if (serial.size() != 8)
            continue;
        DIR *builds = opendir((dir + "/" + serial).c_str());
        if (!builds)
            continue;
        while (dirent *file = readdir(builds)) {
            std::string name = file->d_name;
            const std::string suffix = ".bird";
            if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                catalogue.images[serial + "/" + name.substr(0, name.size() - suffix.size())] =
                    _read(dir + "/" + serial + "/" + name, true);
        }
        closedir(builds);
    }
    closedir(top);
}

sim::SimCatalogue _sample() {
    sim::SimCatalogue catalogue = sim::ParseCatalogue(
        "device 40F5849A recommend 120 firmware FW-SAMPLE token eyJhbGciOiJub25lIn0.eyJzbiI6IjQwRjU4NDlBIn0.c2FtcGxl\n"
        "build 40F5849A 100 1.9.2\n"
        "build 40F5849A 110 1.9.3\n"
        "build 40F5849A 120 1.10.0\n");
    for (const auto &[build, version] : catalogue.devices["40F5849A"].versions) {
        BirdBuilder::Bytes firmware(4096);
        for (size_t i = 0; i < firmware.size(); ++i)
            firmware[i] = static_cast<uint8_t>((i * 2654435761u + std::stoul(build)) >> 13);
        BirdBuilder image;
        image.addInfo(std::stoul(build), version, 0x40F5849A, "AX-HUB").addFirmware(0x1000, firmware);
        catalogue.images["40F5849A/" + build] = image.str();
    }
    return catalogue;
}

int _usage() {
    std::cerr << "usage: sim_server --catalogue DIR|--sample [--record FILE] [--fault KIND[:OP]]...\n"
                 "  KIND: status500 error stall truncate badchar notbird; OP: hi qu bird builds fix ent_jwt\n";
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    std::string catalogue_dir, record_path;
    std::vector<sim::SimFault> faults;
    bool sample = false;
    try {
        for (int i = 1; i < argc; ++i) {
            std::string arg = argv[i];
            if (arg == "--sample") {
                sample = true;
                continue;
            }
            if (i + 1 >= argc)
                return _usage();
            if (arg == "--catalogue")
                catalogue_dir = argv[++i];
            else if (arg == "--record")
                record_path = argv[++i];
            else if (arg == "--fault")
                faults.push_back(sim::ParseFault(argv[++i]));
            else
                return _usage();
        }
        sim::SimCatalogue catalogue;
        if (sample) {
            catalogue = _sample();
        } else if (!catalogue_dir.empty()) {
            catalogue = sim::ParseCatalogue(_read(catalogue_dir + "/catalogue.txt", false));
            _load_images(catalogue_dir, catalogue);
        }

        // Signals are taken by sigwait below, so every thread must start with them blocked.
        sigset_t stop_signals;
        sigemptyset(&stop_signals);
        sigaddset(&stop_signals, SIGTERM);
        sigaddset(&stop_signals, SIGINT);
        pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

        std::mutex record_mutex;
        FILE *record = nullptr;
        if (!record_path.empty() && !(record = fopen(record_path.c_str(), "a")))
            throw std::runtime_error("cannot write " + record_path);

        sim::SimServerModel model(std::move(catalogue), faults);
        sim::SimHttpServer server([&](const std::string &target) {
            if (record) {
                std::lock_guard<std::mutex> lock(record_mutex);
                fprintf(record, "%s\n", target.c_str());
                fflush(record);
            }
            return model.Answer(target);
        });
        printf("READY %s\n", server.url().c_str());
        fflush(stdout);

        int signal_number = 0;
        sigwait(&stop_signals, &signal_number);
        server.stop();
        if (record)
            fclose(record);
        return 0;
    } catch (const std::exception &e) {
        std::cerr << "sim_server: " << e.what() << "\n";
        return 1;
    }
}
