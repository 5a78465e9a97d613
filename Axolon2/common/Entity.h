#pragma once
// Access to one entity (a command code and an index) of a module: reading, writing and calling
// its options as UEI exchanges over the module's link. Every operation returns an aErr code;
// device errors come back as the device's code. An entity without a module, or whose module has
// no link, answers aErrResource.
#include "Link.h"
#include "Module.h"
#include "aError.h"
#include "aUEI.h"

#include <cstddef>
#include <cstdint>

namespace Tervane {
namespace Axolon {

class EntityClass {
  public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass &) = delete;
    EntityClass &operator=(const EntityClass &) = delete;

    void init(Module *module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;

    // Raw packets [command, n data bytes] to the module and the wait for a reply that starts
    // with `match` (its *n bytes); see Link::sendPacket and Link::receivePacket.
    aErr sendPacket(uint8_t command, uint8_t n, const uint8_t *data);
    aErr receivePacket(const uint8_t *match, uint8_t *n, uint8_t *data);

    // A get answers from the link's stream cache when the option streams (aErrNone when fresh,
    // aErrStreamStale otherwise); else it asks the device.
    aErr getUEI(uint8_t option, uei *record);
    aErr setUEI(uint8_t option, uei *record);
    aErr setUEI(uint8_t option, uint8_t subindex, uei *record);
    aErr callUEI(uint8_t option);
    aErr setUEI8(uint8_t option, uint8_t value);
    aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    aErr setUEI16(uint8_t option, uint16_t value);
    aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
    aErr setUEI32(uint8_t option, uint32_t value);
    aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
    aErr setUEIBytes(uint8_t option, const uint8_t *data, size_t n);
    // Values are copied out with aErrNone and aErrStreamStale; a null output is aErrParam.
    aErr getUEI8(uint8_t option, uint8_t *value);
    aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t *value);
    aErr getUEI16(uint8_t option, uint16_t *value);
    aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t *value);
    aErr getUEI32(uint8_t option, uint32_t *value);
    aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t *value);
    // A bytes value of any number of packets, in sequence order. aErrMemory when it does not
    // fit in `capacity`; aErrTimeout (with *received holding what came) when a packet is
    // missing for 1000 ms. Packets out of sequence stay queued.
    aErr getUEIBytes(uint8_t option, uint8_t *buffer, size_t capacity, size_t *received);
    static uint8_t getUEIBytesSequence(const aPacket *packet);
    static uint8_t getUEIBytesContinue(const aPacket *packet);
    // *count becomes *count / unit; aErrMemory when it is not a multiple of unit.
    static aErr getUEIBytesCheck(size_t *count, size_t unit);
    // Waits 1000 ms, without asking, for a reply-shaped value of `option` (its plain option
    // byte); the wait argument is kept for callers and not used.
    aErr awaitUEI32Val(uint8_t option, uint32_t *value, uint32_t wait);
    aErr drainUEI(uint8_t option);

    aErr setStreamEnabled(bool on);
    aErr registerOptionCallback(uint8_t option, bool on, StreamCallback callback, void *user);
    aErr getStreamStatus(StreamStatusEntry *entries, size_t capacity, size_t *count);

    aErr saveEntityToStore();
    aErr resetEntityToFactoryDefaults();
    aErr loadEntityFromStore();

    struct impl;

  protected:
    Module *module() const;
    uint8_t command() const;

  private:
    impl *m_impl;
};

} // namespace Axolon
} // namespace Tervane
