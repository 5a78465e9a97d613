#pragma once
// The system entity (command 3): one accessor per option of the device's system settings and
// readings. Each is one EntityClass exchange and returns its code.
#include "Entity.h"

#include <cstddef>
#include <cstdint>

namespace Tervane {
namespace Axolon {

class SystemClass : public EntityClass {
  public:
    SystemClass() = default;
    ~SystemClass() override = default;

    void init(Module *module, uint8_t index);

    aErr getModule(uint8_t *value);
    aErr getRouter(uint8_t *value);
    aErr setRouter(uint8_t value);
    aErr getHBInterval(uint8_t *value);
    aErr setHBInterval(uint8_t value);
    aErr getLED(uint8_t *value);
    aErr setLED(uint8_t value);
    aErr getBootSlot(uint8_t *value);
    aErr setBootSlot(uint8_t value);
    aErr getVersion(uint32_t *value);
    aErr getModel(uint8_t *value);
    aErr getSerialNumber(uint32_t *value);
    aErr save();
    aErr reset();
    aErr getInputVoltage(uint32_t *value);
    aErr getModuleHardwareOffset(uint8_t *value);
    aErr getModuleBaseAddress(uint8_t *value);
    aErr getModuleSoftwareOffset(uint8_t *value);
    aErr setModuleSoftwareOffset(uint8_t value);
    aErr getRouterAddressSetting(uint8_t *value);
    aErr routeToMe(uint8_t value);
    aErr getInputCurrent(uint32_t *value);
    aErr getUptime(uint32_t *value);
    aErr logEvents();
    aErr getInputPowerSource(uint8_t *value);
    aErr getInputPowerBehavior(uint8_t *value);
    aErr setInputPowerBehavior(uint8_t value);
    aErr getPowerLimit(uint32_t *value);
    aErr getPowerLimitMax(uint32_t *value);
    aErr setPowerLimitMax(uint32_t value);
    aErr getPowerLimitState(uint32_t *value);
    aErr resetDeviceToFactoryDefaults();
    aErr getLinkInterface(uint8_t *value);
    aErr setLinkInterface(uint8_t value);
    aErr getHardwareVersion(uint32_t *value);
    aErr getErrors(uint32_t *value);
    aErr getLEDMaxBrightness(uint8_t *value);
    aErr setLEDMaxBrightness(uint8_t value);
    aErr getBuild(uint32_t *value);
    aErr getProtocolFeatures(uint32_t *value);
    // Signed readings travel as 32-bit words.
    aErr getMaximumTemperature(int32_t *value);
    aErr getUnregulatedVoltage(int32_t *value);
    aErr getUnregulatedCurrent(int32_t *value);
    aErr getTemperature(int32_t *value);
    aErr getMinimumTemperature(int32_t *value);
    // 32-bit words; capacity and *count in words. aErrMemory when the byte count the device sent
    // is not a whole number of words.
    aErr getInputPowerBehaviorConfig(uint32_t *words, size_t capacity, size_t *count);
    aErr setInputPowerBehaviorConfig(const uint32_t *words, size_t count);
    // The name's bytes, without terminator.
    aErr getName(uint8_t *buffer, size_t capacity, size_t *received);
    aErr setName(const uint8_t *name, size_t n);
};

} // namespace Axolon
} // namespace Tervane
