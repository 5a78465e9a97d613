#pragma once
// The application's handle on one device: it owns the Link, knows the module address (learnt
// from the device after each connect while autoNetwork is set) and offers the ways to connect.
// Every operation returns an aErr code.
#include "Link.h"
#include "aError.h"
#include "discover.h"

#include <cstdint>

namespace Tervane {
namespace Axolon {

class Module {
  public:
    Module(uint8_t address, uint8_t model);
    Module(uint8_t address, bool autoNetwork, uint8_t model);
    virtual ~Module();
    Module(const Module &) = delete;
    Module &operator=(const Module &) = delete;

    // Discovers the device by serial number on `type` and connects; serial 0: aErrParam.
    aErr connect(linkType type, uint32_t serialNumber);
    aErr discoverAndConnect(linkType type, uint32_t serialNumber);
    // aErrBusy when already connected.
    aErr connectFromSpec(const linkSpec &spec);
    // Shares the router's link; afterwards this module keeps its address (autoNetwork off).
    aErr connectThroughLinkModule(Module *router);
    aErr reconnect();
    aErr disconnect();
    bool isConnected() const;
    uint32_t getStatus() const;

    uint8_t getModuleAddress() const;
    void setModuleAddress(uint8_t address);
    aErr getLinkSpecifier(linkSpec *spec) const;
    aErr getConfig(LumenConfig *config) const;
    // aErrMode while connected.
    aErr setConfig(const LumenConfig &config);
    Link *getLink() const;
    void setNetworkingMode(bool autoNetwork);

    // Module information (command 73).
    aErr getBuild(uint32_t *build);
    // The device's answer whether it supports (command, option, index) in `direction`
    // (0x40 get, 0x80 set, or 0); the device's code is the result.
    aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t direction);
    aErr classQuantity(uint8_t command, uint8_t *count);
    aErr subClassQuantity(uint8_t command, uint8_t index, uint8_t *count);
    aErr entityGroup(uint8_t command, uint8_t index, uint8_t *group);
    // Sends n bytes (at most 27) for the device to echo; aErrIO when the echo differs.
    aErr debug(const uint8_t *data, uint8_t n);

    aErr enablePacketLog(const char *path);
    aErr disablePacketLog();

    struct impl;

  private:
    impl *m_impl;
};

} // namespace Axolon
} // namespace Tervane
