// Connecting a Module by serial number through TCP/IP discovery, on a private two-namespace
// network with the virtual device in the other namespace.
#include "Module.h"
#include "NetnsTest.h"
#include "SimDeviceProcess.h"
#include "SystemClass.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

using namespace Tervane::Axolon;

namespace {

class ModuleNetns : public NetnsTest {
  protected:
    // A virtual device that answers discovery with its TCP port on the device side.
    SimDeviceProcess &startDevice(std::vector<std::string> args) {
        args.insert(args.end(), {"--listen", NetnsPair::kDeviceAddress, "--discovery"});
        devices_.push_back(
            std::make_unique<SimDeviceProcess>(net_->wrapperExe(), net_->inDevice(SIM_DEVICE_EXE, args)));
        return *devices_.back();
    }

    std::vector<std::unique_ptr<SimDeviceProcess>> devices_; // stopped before the namespaces go
};

TEST_F(ModuleNetns, ConnectBySerialNumberThenReadTheSystemEntity) {
    const std::string name = "a device name that takes two packets";
    ASSERT_TRUE(startDevice({"--serial", "40F5849A", "--address", "4", "--model", "13", "--build", "1234", "--version",
                             "2F020A05", "--name", name})
                    .ready());
    Module module(2, 0);
    ASSERT_EQ(module.connect(TCPIP, 0x40F5849A), aErrNone);
    EXPECT_EQ(module.getModuleAddress(), 4);
    linkSpec spec{};
    ASSERT_EQ(module.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.serialNumber, 0x40F5849Au);
    EXPECT_EQ(spec.model, 13u);
    SystemClass system;
    system.init(&module, 0);
    uint8_t byte = 0;
    ASSERT_EQ(system.getModule(&byte), aErrNone);
    EXPECT_EQ(byte, 4);
    ASSERT_EQ(system.getRouter(&byte), aErrNone);
    EXPECT_EQ(byte, 0);
    ASSERT_EQ(system.getModel(&byte), aErrNone);
    EXPECT_EQ(byte, 13);
    uint32_t word = 0;
    ASSERT_EQ(system.getVersion(&word), aErrNone);
    EXPECT_EQ(word, 0x2F020A05u);
    ASSERT_EQ(system.getSerialNumber(&word), aErrNone);
    EXPECT_EQ(word, 0x40F5849Au);
    uint8_t text[64];
    size_t received = 0;
    ASSERT_EQ(system.getName(text, sizeof text, &received), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(text), received), name);
    uint32_t build = 0;
    ASSERT_EQ(module.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 1234u);
    EXPECT_EQ(module.hasUEI(3, 32, 0, 0x40), aErrNone);
    EXPECT_EQ(system.getUEI8(5, &byte), aErrInvalidOption); // the device's own code
}

TEST_F(ModuleNetns, FirstModuleOfAModelWhenNoSerialIsGiven) {
    ASSERT_TRUE(startDevice({"--serial", "11110000", "--address", "2", "--model", "13"}).ready());
    ASSERT_TRUE(startDevice({"--serial", "22220000", "--address", "6", "--model", "19"}).ready());
    Module module(2, 19);
    ASSERT_EQ(module.discoverAndConnect(TCPIP, 0), aErrNone);
    EXPECT_EQ(module.getModuleAddress(), 6);
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    ASSERT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x22220000u);
}

TEST_F(ModuleNetns, AbsentDeviceIsNotFoundAndASilentOneNotReady) {
    ASSERT_TRUE(startDevice({"--serial", "33330000", "--silent"}).ready());
    Module absent(2, 0);
    EXPECT_EQ(absent.connect(TCPIP, 0x44440000), aErrNotFound);
    EXPECT_EQ(absent.getLink()->getLinkId(), 0u);

    Module silent(2, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(silent.discoverAndConnect(TCPIP, 0x33330000), aErrNotReady);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4000));
    EXPECT_TRUE(silent.isConnected());
    EXPECT_NE(silent.getLink()->getLinkId(), 0u);
}

} // namespace
