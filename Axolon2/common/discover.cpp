#include "discover.h"

#include <cstdlib>
#include <cstring>

linkSpec *aLinkSpec_Create(linkType type) {
    linkSpec *spec = static_cast<linkSpec *>(std::calloc(1, sizeof(linkSpec)));
    if (spec != nullptr)
        spec->type = type;
    return spec;
}

linkSpec *aLinkSpec_Copy(linkSpec spec) {
    linkSpec *copy = static_cast<linkSpec *>(std::malloc(sizeof(linkSpec)));
    if (copy != nullptr)
        std::memcpy(copy, &spec, sizeof(linkSpec));
    return copy;
}

aErr aLinkSpec_Destroy(linkSpec **spec) {
    if (spec == nullptr || *spec == nullptr)
        return aErrParam;
    std::free(*spec);
    *spec = nullptr;
    return aErrNone;
}

bool aDiscovery_ParseReply(const uint8_t *reply, size_t n, uint32_t sourceAddress, linkSpec *spec) {
    if (reply == nullptr || spec == nullptr || n < aDISCOVERY_MIN_REPLY)
        return false;
    // Port and serial number are little-endian, unlike the big-endian packets on the link.
    const uint32_t serial =
        uint32_t(reply[4]) | uint32_t(reply[5]) << 8 | uint32_t(reply[6]) << 16 | uint32_t(reply[7]) << 24;
    std::memset(spec, 0, sizeof(linkSpec));
    spec->type = TCPIP;
    spec->serialNumber = serial;
    spec->module = reply[1];
    spec->router = reply[1];
    spec->routerSerialNumber = serial;
    spec->model = n > 12 ? reply[12] : 255;
    spec->ipAddress = sourceAddress;
    spec->ipPort = uint32_t(reply[2]) | uint32_t(reply[3]) << 8;
    return true;
}

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void *reference,
                                    uint32_t networkInterface) {
    if (callback == nullptr)
        return 0;
    switch (type) {
    case TCPIP:
        return aDiscovery_EnumerateTCPIP(callback, reference, networkInterface);
    case INVALID:
    case USB:
    case SERIAL:
        break;
    }
    // USB enumeration lives with the USB transport; serial lines, the Lumen types of the
    // shared-link server (not built) and unknown types are never discovered.
    return 0;
}

namespace {

struct sFindRequest {
    linkSpec *spec; // in: the wanted serial number; out: the delivered specifier
    bool any;       // take the first module with a non-zero serial number
};

bool sFindCallback(const linkSpec *found, bool *counted, void *reference) {
    sFindRequest *request = static_cast<sFindRequest *>(reference);
    const bool wanted = request->any ? found->serialNumber != 0 : found->serialNumber == request->spec->serialNumber;
    if (!wanted)
        return true;
    std::memcpy(request->spec, found, sizeof(linkSpec));
    *counted = true;
    return false;
}

linkSpec *sFind(linkType type, uint32_t serialNumber, bool any, uint32_t networkInterface) {
    linkSpec *spec = aLinkSpec_Create(type);
    if (spec == nullptr)
        return nullptr;
    spec->serialNumber = serialNumber;
    sFindRequest request{spec, any};
    if (aDiscovery_EnumerateModules(type, sFindCallback, &request, networkInterface) == 0)
        aLinkSpec_Destroy(&spec);
    return spec;
}

} // namespace

linkSpec *aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface) {
    return sFind(type, serialNumber, false, networkInterface);
}

linkSpec *aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
    return sFind(type, 0, true, networkInterface);
}
