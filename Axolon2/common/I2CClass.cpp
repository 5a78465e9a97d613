#include "I2CClass.h"

#include "aDefs.h"

#include <cstring>

namespace Tervane {
namespace Axolon {

namespace {

constexpr uint8_t kMaxTransfer = 23;
constexpr uint8_t kMaxSpeed = 3;
constexpr uint8_t kPullupAddress = 1;
constexpr uint8_t kStatusError = 0x80;

// The status byte (data 4) of an I2C reply of `n` data bytes.
aErr sStatus(const uint8_t *reply, uint8_t n) {
    if (n <= 4)
        return aErrPacket;
    return (reply[4] & kStatusError) ? static_cast<aErr>(reply[4] & 0x7F) : aErrNone;
}

} // namespace

struct I2CClass::impl {
    uint8_t speed = 0;
};

I2CClass::I2CClass() : m_impl(new impl) {}

I2CClass::~I2CClass() { delete m_impl; }

void I2CClass::init(Module *module, uint8_t index) { EntityClass::init(module, cmdI2C, index); }

aErr I2CClass::setSpeed(uint8_t code) {
    if (code > kMaxSpeed)
        return aErrParam;
    m_impl->speed = code;
    return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t *code) const {
    if (code == nullptr)
        return aErrParam;
    *code = m_impl->speed;
    return aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t n, const uint8_t *data) {
    if (n > kMaxTransfer)
        return aErrSize;
    if (n > 0 && data == nullptr)
        return aErrParam;
    uint8_t request[aPACKET_MAXDATA] = {getIndex(), address, n, m_impl->speed};
    if (n > 0)
        std::memcpy(&request[4], data, n);
    aErr err = sendPacket(cmdI2C, static_cast<uint8_t>(4 + n), request);
    if (err != aErrNone)
        return err;
    const uint8_t match[] = {cmdI2C, getIndex(), address, 0};
    uint8_t reply[aPACKET_MAXDATA];
    uint8_t length = sizeof(match);
    err = receivePacket(match, &length, reply);
    return err != aErrNone ? err : sStatus(reply, length);
}

aErr I2CClass::read(uint8_t address, uint8_t n, uint8_t *buffer) {
    if (n > kMaxTransfer)
        return aErrSize;
    if (buffer == nullptr)
        return aErrParam;
    const uint8_t readAddress = static_cast<uint8_t>(address | 1);
    const uint8_t request[] = {getIndex(), readAddress, n, m_impl->speed};
    aErr err = sendPacket(cmdI2C, sizeof(request), request);
    if (err != aErrNone)
        return err;
    const uint8_t match[] = {cmdI2C, getIndex(), readAddress};
    uint8_t reply[aPACKET_MAXDATA];
    uint8_t length = sizeof(match);
    err = receivePacket(match, &length, reply);
    if (err == aErrNone)
        err = sStatus(reply, length);
    if (err != aErrNone)
        return err;
    // Never more than was asked for, nor more than the reply holds.
    uint8_t count = reply[3];
    if (count > n)
        count = n;
    if (count > length - 5)
        count = static_cast<uint8_t>(length - 5);
    std::memcpy(buffer, &reply[5], count);
    return aErrNone;
}

aErr I2CClass::setPullup(bool on) {
    const uint8_t request[] = {getIndex(), kPullupAddress, static_cast<uint8_t>(on ? 1 : 0)};
    aErr err = sendPacket(cmdI2C, sizeof(request), request);
    if (err != aErrNone)
        return err;
    const uint8_t match[] = {cmdI2C, getIndex(), kPullupAddress};
    uint8_t reply[aPACKET_MAXDATA];
    uint8_t length = sizeof(match);
    err = receivePacket(match, &length, reply);
    return err != aErrNone ? err : sStatus(reply, length);
}

} // namespace Axolon
} // namespace Tervane
