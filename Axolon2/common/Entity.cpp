#include "Entity.h"

#include "aDefs.h"

#include <cstring>

namespace Tervane {
namespace Axolon {

namespace {

constexpr uint32_t kReplyWaitMs = 1000;
constexpr uint8_t kEntityStoreIndex = 0;

// The value a reply left in a record, by the type it carried.
uint32_t sRecordValue(const uei &record) {
    switch (record.type) {
    case ueiTYPE_BYTE:
        return record.value.byteVal;
    case ueiTYPE_SHORT:
        return record.value.shortVal;
    default:
        return record.value.intVal;
    }
}

// A bytes value arrives as packets [command, option, index, up to 24 bytes, sequence byte];
// only the next one in sequence (or an error reply) is taken, the rest stay queued.
struct BytesMatch {
    uint8_t address;
    uint8_t command;
    uint8_t option;
    uint8_t index;
    uint8_t expectedSequence;
};

bool sBytesFilter(const aPacket *p, void *reference) {
    const BytesMatch *m = static_cast<const BytesMatch *>(reference);
    if (p->address != m->address || p->length <= 2 || p->data[0] != m->command || p->data[1] != m->option ||
        (p->data[2] & ueiINDEX_MASK) != m->index)
        return false;
    if ((p->data[2] & ueiINDEX_ERROR) || p->length < 4)
        return true; // an error reply, or a piece without sequence byte that the read rejects
    return (p->data[p->length - 1] & ueiBYTES_SEQUENCE_MASK) == m->expectedSequence;
}

// A reply-shaped value of an option, unasked.
bool sReplyFilter(const aPacket *p, void *reference) {
    const UEIMatch *m = static_cast<const UEIMatch *>(reference);
    return p->address == m->address && p->length > 2 && p->data[0] == m->command && p->data[1] == m->option &&
           (p->data[2] & ueiINDEX_MASK) == m->index;
}

} // namespace

struct EntityClass::impl {
    EntityClass *owner = nullptr;
    Module *module = nullptr;
    uint8_t command = 0;
    uint8_t index = 0;

    Link *link() const { return module != nullptr ? module->getLink() : nullptr; }
    uint8_t address() const { return module->getModuleAddress(); }
};

EntityClass::EntityClass() : m_impl(new impl) { m_impl->owner = this; }

EntityClass::~EntityClass() { delete m_impl; }

void EntityClass::init(Module *module, uint8_t command, uint8_t index) {
    m_impl->module = module;
    m_impl->command = command;
    m_impl->index = index;
}

uint8_t EntityClass::getIndex() const { return m_impl->index; }

Module *EntityClass::module() const { return m_impl->module; }

uint8_t EntityClass::command() const { return m_impl->command; }

aErr EntityClass::sendPacket(uint8_t command, uint8_t n, const uint8_t *data) {
    Link *link = m_impl->link();
    if (link == nullptr)
        return aErrResource;
    return link->sendPacket(m_impl->address(), command, n, data);
}

aErr EntityClass::receivePacket(const uint8_t *match, uint8_t *n, uint8_t *data) {
    Link *link = m_impl->link();
    if (link == nullptr)
        return aErrResource;
    return link->receivePacket(m_impl->address(), match, n, data);
}

aErr EntityClass::getUEI(uint8_t option, uei *record) {
    if (record == nullptr)
        return aErrParam;
    Link *link = m_impl->link();
    if (link == nullptr)
        return aErrResource;
    const uint8_t address = m_impl->address();
    const uint8_t subindex = record->type == ueiTYPE_BYTE ? record->value.byteVal : 0;
    uint32_t cached = 0;
    aErr err = link->getStreamValue(address, m_impl->command, option, m_impl->index, subindex, &cached);
    if (err == aErrNone || err == aErrStreamStale) {
        record->type = ueiTYPE_INT;
        record->value.intVal = cached;
        return err;
    }
    record->module = address;
    record->command = m_impl->command;
    record->option = static_cast<uint8_t>(option | ueiOPTION_GET);
    record->index = static_cast<uint8_t>(m_impl->index | ueiINDEX_REQUEST);
    err = link->sendUEI(*record);
    if (err != aErrNone)
        return err;
    record->option = option;
    record->index = m_impl->index;
    err = link->receiveUEI(address, m_impl->command, option, m_impl->index, record);
    if (err != aErrNone)
        return err;
    return (record->index & ueiINDEX_ERROR) ? static_cast<aErr>(record->value.byteVal) : aErrNone;
}

static aErr sSet(Link *link, uint8_t address, uint8_t command, uint8_t index, uint8_t option, uei *record,
                 bool withSubindex, uint8_t subindex) {
    record->module = address;
    record->command = command;
    record->option = static_cast<uint8_t>(option | ueiOPTION_SET);
    record->index = static_cast<uint8_t>(index | ueiINDEX_REQUEST);
    aErr err = withSubindex ? link->sendUEI(*record, subindex) : link->sendUEI(*record);
    if (err != aErrNone)
        return err;
    record->option = static_cast<uint8_t>(option | ueiOPTION_ACK);
    record->index = index;
    err = link->receiveUEI(address, command, record->option, index, record);
    if (err != aErrNone)
        return err;
    return (record->index & ueiINDEX_ERROR) ? static_cast<aErr>(record->value.byteVal) : aErrNone;
}

aErr EntityClass::setUEI(uint8_t option, uei *record) {
    if (record == nullptr)
        return aErrParam;
    Link *link = m_impl->link();
    if (link == nullptr)
        return aErrResource;
    return sSet(link, m_impl->address(), m_impl->command, m_impl->index, option, record, false, 0);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei *record) {
    if (record == nullptr)
        return aErrParam;
    Link *link = m_impl->link();
    if (link == nullptr)
        return aErrResource;
    return sSet(link, m_impl->address(), m_impl->command, m_impl->index, option, record, true, subindex);
}

aErr EntityClass::callUEI(uint8_t option) {
    uei record{};
    record.type = ueiTYPE_VOID;
    return setUEI(option, &record);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
    uei record{};
    record.type = ueiTYPE_BYTE;
    record.value.byteVal = value;
    return setUEI(option, &record);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
    uei record{};
    record.type = ueiTYPE_BYTE;
    record.value.byteVal = value;
    return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
    uei record{};
    record.type = ueiTYPE_SHORT;
    record.value.shortVal = value;
    return setUEI(option, &record);
}

aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) {
    uei record{};
    record.type = ueiTYPE_SHORT;
    record.value.shortVal = value;
    return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
    uei record{};
    record.type = ueiTYPE_INT;
    record.value.intVal = value;
    return setUEI(option, &record);
}

aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
    uei record{};
    record.type = ueiTYPE_INT;
    record.value.intVal = value;
    return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t *data, size_t n) {
    if (data == nullptr && n > 0)
        return aErrParam;
    uei record{};
    record.type = ueiTYPE_BYTES;
    record.value.bytesVal = const_cast<uint8_t *>(data); // only read by the send
    record.length = n;
    return setUEI(option, &record);
}

namespace {

// A get of type none, or of type byte carrying the sub-index.
template <typename T> aErr sGet(EntityClass *entity, uint8_t option, bool withSubindex, uint8_t subindex, T *value) {
    if (value == nullptr)
        return aErrParam;
    uei record{};
    record.type = withSubindex ? ueiTYPE_BYTE : ueiTYPE_VOID;
    record.value.byteVal = subindex;
    aErr err = entity->getUEI(option, &record);
    if (err == aErrNone || err == aErrStreamStale)
        *value = static_cast<T>(sRecordValue(record));
    return err;
}

} // namespace

aErr EntityClass::getUEI8(uint8_t option, uint8_t *value) { return sGet(this, option, false, 0, value); }
aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t *value) {
    return sGet(this, option, true, subindex, value);
}
aErr EntityClass::getUEI16(uint8_t option, uint16_t *value) { return sGet(this, option, false, 0, value); }
aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t *value) {
    return sGet(this, option, true, subindex, value);
}
aErr EntityClass::getUEI32(uint8_t option, uint32_t *value) { return sGet(this, option, false, 0, value); }
aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t *value) {
    return sGet(this, option, true, subindex, value);
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t *buffer, size_t capacity, size_t *received) {
    if (buffer == nullptr || received == nullptr || capacity == 0)
        return aErrParam;
    *received = 0;
    Link *link = m_impl->link();
    if (link == nullptr)
        return aErrResource;
    const uint8_t address = m_impl->address();
    uei request{};
    request.module = address;
    request.command = m_impl->command;
    request.option = static_cast<uint8_t>(option | ueiOPTION_GET);
    request.index = static_cast<uint8_t>(m_impl->index | ueiINDEX_REQUEST);
    request.type = ueiTYPE_VOID;
    aErr err = link->sendUEI(request);
    BytesMatch match{address, m_impl->command, option, m_impl->index, 0};
    while (err == aErrNone) {
        aPacket *p = nullptr;
        err = link->awaitPacket(sBytesFilter, &match, kReplyWaitMs, &p);
        if (err != aErrNone)
            break;
        bool more = false;
        if (p->data[2] & ueiINDEX_ERROR) {
            err = p->length > 3 ? static_cast<aErr>(p->data[3]) : aErrUnknown;
        } else if (p->length < 4) {
            err = aErrPacket;
        } else {
            const size_t k = p->length - 4u;
            if (*received + k > capacity) {
                err = aErrMemory;
            } else {
                std::memcpy(buffer + *received, &p->data[3], k);
                *received += k;
                more = aUEI_getBytesContinue(p) != 0;
                match.expectedSequence = static_cast<uint8_t>((aUEI_getBytesSequence(p) + 1) & ueiBYTES_SEQUENCE_MASK);
            }
        }
        aPacket_Destroy(&p);
        if (err != aErrNone || !more)
            break;
    }
    return err;
}

uint8_t EntityClass::getUEIBytesSequence(const aPacket *packet) { return aUEI_getBytesSequence(packet); }

uint8_t EntityClass::getUEIBytesContinue(const aPacket *packet) { return aUEI_getBytesContinue(packet); }

aErr EntityClass::getUEIBytesCheck(size_t *count, size_t unit) {
    if (count == nullptr || unit == 0)
        return aErrParam;
    if (*count % unit != 0)
        return aErrMemory;
    *count /= unit;
    return aErrNone;
}

aErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t *value, uint32_t /*wait*/) {
    if (value == nullptr)
        return aErrParam;
    Link *link = m_impl->link();
    if (link == nullptr)
        return aErrResource;
    UEIMatch match{m_impl->address(), m_impl->command, option, m_impl->index};
    aPacket *p = nullptr;
    aErr err = link->awaitPacket(sReplyFilter, &match, kReplyWaitMs, &p);
    if (err != aErrNone)
        return err;
    if (p->data[2] & ueiINDEX_ERROR)
        err = p->length > 3 ? static_cast<aErr>(p->data[3]) : aErrUnknown;
    else if (p->length >= ueiLENGTH_INT)
        *value = aUEI_RetrieveInt(&p->data[3]);
    else
        err = aErrPacket;
    aPacket_Destroy(&p);
    return err;
}

aErr EntityClass::drainUEI(uint8_t option) {
    Link *link = m_impl->link();
    if (link == nullptr)
        return aErrResource;
    return link->dropMatchingUEIPackets(m_impl->address(), m_impl->command, option, m_impl->index);
}

aErr EntityClass::setStreamEnabled(bool on) {
    Link *link = m_impl->link();
    if (link == nullptr)
        return aErrResource;
    return link->enableStream(m_impl->address(), m_impl->command, kStreamWildcard, m_impl->index, on);
}

aErr EntityClass::registerOptionCallback(uint8_t option, bool on, StreamCallback callback, void *user) {
    Link *link = m_impl->link();
    if (link == nullptr)
        return aErrResource;
    return link->registerStreamCallback(m_impl->address(), m_impl->command, option, m_impl->index, on,
                                        std::move(callback), user);
}

aErr EntityClass::getStreamStatus(StreamStatusEntry *entries, size_t capacity, size_t *count) {
    Link *link = m_impl->link();
    if (link == nullptr)
        return aErrResource;
    return link->getStreamStatus(m_impl->address(), m_impl->command, kStreamWildcard, m_impl->index, kStreamWildcard,
                                 entries, capacity, count);
}

namespace {

aErr sEntityStore(Module *module, uint8_t command, uint8_t index, uint32_t operation) {
    if (module == nullptr || module->getLink() == nullptr)
        return aErrResource;
    EntityClass store;
    store.init(module, cmdENTITYSTORE, kEntityStoreIndex);
    return store.setUEI32(static_cast<uint8_t>(operation), uint32_t(command) << 8 | index);
}

} // namespace

aErr EntityClass::saveEntityToStore() {
    return sEntityStore(m_impl->module, m_impl->command, m_impl->index, valENTITYSTORE_SAVE);
}

aErr EntityClass::resetEntityToFactoryDefaults() {
    return sEntityStore(m_impl->module, m_impl->command, m_impl->index, valENTITYSTORE_RESET);
}

aErr EntityClass::loadEntityFromStore() {
    return sEntityStore(m_impl->module, m_impl->command, m_impl->index, valENTITYSTORE_LOAD);
}

} // namespace Axolon
} // namespace Tervane
