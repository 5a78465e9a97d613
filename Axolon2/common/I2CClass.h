#pragma once
// The I2C entity (command 8): writes, reads and the pull-up of the device's I2C bus, as raw
// packets. Addresses are 8-bit bus addresses (the 7-bit address shifted left by one). A status
// byte with bit 7 set comes back as the aErr code in its low bits.
#include "Entity.h"

#include <cstdint>

namespace Tervane {
namespace Axolon {

class I2CClass : public EntityClass {
  public:
    I2CClass();
    ~I2CClass() override;

    void init(Module *module, uint8_t index);
    // Speed code 0..3, sent with each transfer; above 3: aErrParam and the code is kept.
    aErr setSpeed(uint8_t code);
    aErr getSpeed(uint8_t *code) const;
    // At most 23 bytes per transfer (aErrSize). A reply of 4 data bytes or fewer is aErrPacket.
    aErr write(uint8_t address, uint8_t n, const uint8_t *data);
    aErr read(uint8_t address, uint8_t n, uint8_t *buffer);
    aErr setPullup(bool on);

    struct impl;

  private:
    impl *m_impl;
};

} // namespace Axolon
} // namespace Tervane
