#include "Module.h"

#include "aDefs.h"
#include "aTime.h"
#include "aUEI.h"

#include <cstring>

namespace Tervane {
namespace Axolon {

namespace {

constexpr int kWhoAreYouAttempts = 4;
constexpr uint32_t kWhoAreYouPauseMs = 5;

} // namespace

struct Module::impl {
    Link *link = nullptr;
    uint8_t address = 0;
    bool autoNetwork = true;
    uint8_t model = 0;

    aErr autoNetworkAddress();
    // Sends request[0..n) (request[0] is the command) and waits for a command-73 reply that
    // starts with `match` (matchLength bytes); copies its data into reply (room for 28).
    aErr exchange(const uint8_t *request, uint8_t n, const uint8_t *match, uint8_t matchLength, uint8_t *reply,
                  uint8_t *replyLength);
};

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool autoNetwork, uint8_t model) : m_impl(new impl) {
    m_impl->address = address;
    m_impl->autoNetwork = autoNetwork;
    m_impl->model = model;
    m_impl->link = new Link("Link");
}

Module::~Module() {
    delete m_impl->link;
    delete m_impl;
}

aErr Module::impl::autoNetworkAddress() {
    if (!autoNetwork || link == nullptr)
        return aErrNone;
    aErr err = aErrNotReady;
    uint8_t learnt = 0;
    for (int attempt = 0; attempt < kWhoAreYouAttempts && err == aErrNotReady; ++attempt) {
        err = link->getModuleAddress(&learnt);
        if (err == aErrNotReady)
            aTime_MSSleep(kWhoAreYouPauseMs);
    }
    if (err == aErrNone && learnt != address)
        address = learnt;
    return err;
}

aErr Module::connect(linkType type, uint32_t serialNumber) {
    if (serialNumber == 0)
        return aErrParam;
    return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber) {
    if (m_impl->link == nullptr)
        return aErrInitialization;
    aErr err = m_impl->link->discoverAndConnect(type, serialNumber, m_impl->model);
    return err != aErrNone ? err : m_impl->autoNetworkAddress();
}

aErr Module::connectFromSpec(const linkSpec &spec) {
    if (m_impl->link == nullptr)
        return aErrInitialization;
    if (m_impl->link->isConnected())
        return aErrBusy;
    aErr err = m_impl->link->setLinkSpecifier(spec);
    if (err == aErrNone)
        err = m_impl->link->connect();
    return err != aErrNone ? err : m_impl->autoNetworkAddress();
}

aErr Module::connectThroughLinkModule(Module *router) {
    if (m_impl->link == nullptr || router == nullptr || router->m_impl->link == nullptr)
        return aErrInitialization;
    if (m_impl->link->isConnected())
        return aErrNone;
    Link &routerLink = *router->m_impl->link;
    // A router that never connected has no specifier either: that is not "not found".
    if (routerLink.getLinkId() == 0)
        return aErrInitialization;
    linkSpec spec{};
    LumenConfig config;
    aErr err = routerLink.getLinkSpecifier(&spec);
    if (err == aErrNone)
        err = routerLink.getConfig(&config);
    if (err == aErrNone)
        err = m_impl->link->setConfig(config);
    // The Lumen client specifier would go to the shared-link server, which is not built; the
    // router's own specifier reaches its link directly.
    if (err == aErrNone)
        err = m_impl->link->setLinkSpecifier(spec);
    if (err == aErrNone)
        err = m_impl->link->connectThroughLinkModule(routerLink);
    if (err == aErrNone)
        m_impl->autoNetwork = false;
    return err;
}

aErr Module::reconnect() {
    if (m_impl->link == nullptr)
        return aErrInitialization;
    aErr err = m_impl->link->connect();
    return err != aErrNone ? err : m_impl->autoNetworkAddress();
}

aErr Module::disconnect() {
    if (m_impl->link == nullptr)
        return aErrInitialization;
    return m_impl->link->disconnect();
}

bool Module::isConnected() const { return m_impl->link != nullptr && m_impl->link->isConnected(); }

uint32_t Module::getStatus() const { return m_impl->link != nullptr ? m_impl->link->getStatus() : 8u; }

uint8_t Module::getModuleAddress() const { return m_impl->address; }

void Module::setModuleAddress(uint8_t address) { m_impl->address = address; }

aErr Module::getLinkSpecifier(linkSpec *spec) const {
    if (m_impl->link == nullptr)
        return aErrNotReady;
    return m_impl->link->getLinkSpecifier(spec);
}

aErr Module::getConfig(LumenConfig *config) const {
    if (m_impl->link == nullptr)
        return aErrNotReady;
    return m_impl->link->getConfig(config);
}

aErr Module::setConfig(const LumenConfig &config) {
    if (m_impl->link == nullptr)
        return aErrNotReady;
    return m_impl->link->setConfig(config);
}

Link *Module::getLink() const { return m_impl->link; }

void Module::setNetworkingMode(bool autoNetwork) { m_impl->autoNetwork = autoNetwork; }

aErr Module::impl::exchange(const uint8_t *request, uint8_t n, const uint8_t *match, uint8_t matchLength,
                            uint8_t *reply, uint8_t *replyLength) {
    if (link == nullptr)
        return aErrInitialization;
    if (!link->isConnected())
        return aErrConnection;
    aErr err = link->sendPacket(address, request[0], static_cast<uint8_t>(n - 1), &request[1]);
    if (err != aErrNone)
        return err;
    *replyLength = matchLength;
    return link->receivePacket(address, match, replyLength, reply);
}

aErr Module::getBuild(uint32_t *build) {
    if (build == nullptr)
        return aErrParam;
    const uint8_t request[] = {cmdINFO, infoBUILD};
    uint8_t reply[aPACKET_MAXDATA];
    uint8_t n = 0;
    aErr err = m_impl->exchange(request, sizeof(request), request, sizeof(request), reply, &n);
    if (err != aErrNone)
        return err;
    if (n != infoBUILD_REPLYLENGTH)
        return aErrSize;
    *build = aUEI_RetrieveInt(&reply[2]);
    return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t direction) {
    if ((direction & ueiOPTION_MASK) != 0 || (direction & ueiOPTION_ACK) == ueiOPTION_ACK)
        return aErrParam;
    const uint8_t request[] = {cmdINFO, infoHASUEI, command, option, index, direction};
    const uint8_t match[] = {cmdINFO};
    uint8_t reply[aPACKET_MAXDATA];
    uint8_t n = 0;
    aErr err = m_impl->exchange(request, sizeof(request), match, sizeof(match), reply, &n);
    if (err != aErrNone)
        return err;
    if (n != infoHASUEI_REPLYLENGTH || std::memcmp(reply, request, 5) != 0)
        return aErrUnknown;
    return static_cast<aErr>(reply[5]);
}

namespace {

// A module-information count query: request of `n` bytes, reply of n + 1 echoing it.
aErr sInfoCount(Module::impl *m, const uint8_t *request, uint8_t n, uint8_t *out) {
    if (out == nullptr)
        return aErrParam;
    *out = 0;
    const uint8_t match[] = {cmdINFO};
    uint8_t reply[aPACKET_MAXDATA];
    uint8_t length = 0;
    aErr err = m->exchange(request, n, match, sizeof(match), reply, &length);
    if (err != aErrNone)
        return err;
    if (length != n + 1 || std::memcmp(reply, request, n) != 0)
        return aErrUnknown;
    *out = reply[n];
    return aErrNone;
}

} // namespace

aErr Module::classQuantity(uint8_t command, uint8_t *count) {
    const uint8_t request[] = {cmdINFO, infoCLASSQUANTITY, command};
    return sInfoCount(m_impl, request, sizeof(request), count);
}

aErr Module::subClassQuantity(uint8_t command, uint8_t index, uint8_t *count) {
    const uint8_t request[] = {cmdINFO, infoSUBCLASSQUANTITY, command, index};
    return sInfoCount(m_impl, request, sizeof(request), count);
}

aErr Module::entityGroup(uint8_t command, uint8_t index, uint8_t *group) {
    const uint8_t request[] = {cmdINFO, infoENTITYGROUP, command, index};
    return sInfoCount(m_impl, request, sizeof(request), group);
}

aErr Module::debug(const uint8_t *data, uint8_t n) {
    if (n > aPACKET_MAXDATA - 1 || (n > 0 && data == nullptr))
        return aErrParam;
    uint8_t request[aPACKET_MAXDATA] = {cmdDEBUG};
    if (n > 0)
        std::memcpy(&request[1], data, n);
    const uint8_t match[] = {cmdDEBUG};
    uint8_t reply[aPACKET_MAXDATA];
    uint8_t length = 0;
    aErr err = m_impl->exchange(request, static_cast<uint8_t>(n + 1), match, sizeof(match), reply, &length);
    if (err != aErrNone)
        return err;
    if (length != n + 1 || std::memcmp(reply, request, length) != 0)
        return aErrIO;
    return aErrNone;
}

aErr Module::enablePacketLog(const char *path) {
    if (m_impl->link == nullptr)
        return aErrConfiguration;
    return m_impl->link->enablePacketLog(path);
}

aErr Module::disablePacketLog() {
    if (m_impl->link == nullptr)
        return aErrConfiguration;
    return m_impl->link->disablePacketLog();
}

} // namespace Axolon
} // namespace Tervane
