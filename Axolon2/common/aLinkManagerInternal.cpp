// The table of links.
//
// Lock order: `sTableLock` covers one lookup, insert, remove or use-count
// change; it is never held while a link's own locks or a FIFO's are taken.
// Entries hand out shared references to their link records, so a caller that
// found a link may go on using it while another thread removes the entry.
#include "aLinkManagerInternal.h"

#include <new>

namespace {

struct Entry {
    uint32_t id = 0;
    int32_t serverLinkId = 0; // links wrapped by a shared-link server: none here
    int32_t identifier0 = 0;  // serial number
    int32_t identifier1 = 0;  // TCP/IP: address (network order)
    int32_t identifier2 = 0;  // TCP/IP: port
    int type = 0;
    int16_t useCount = 0;
    aLinkShared link;
    Entry *next = nullptr;
};

std::mutex sTableLock;
Entry *sHead = nullptr; // newest first
uint32_t sNextId = 1;

// Caller holds sTableLock.
Entry *sLookupEntryByID(uint32_t id) {
    for (Entry *e = sHead; e; e = e->next)
        if (e->id == id)
            return e;
    return nullptr;
}

Entry *sLookupEntryByIdentifier(int32_t serialNumber, int type) {
    for (Entry *e = sHead; e; e = e->next)
        if (e->identifier0 == serialNumber && e->type == type)
            return e;
    return nullptr;
}

Entry *sExtractEntry(uint32_t id) {
    for (Entry **at = &sHead; *at; at = &(*at)->next) {
        if ((*at)->id == id) {
            Entry *e = *at;
            *at = e->next;
            e->next = nullptr;
            return e;
        }
    }
    return nullptr;
}

} // namespace

uint32_t aLinkTable_Create(int32_t identifier0, int32_t identifier1, int32_t identifier2, int type) {
    auto *e = new (std::nothrow) Entry;
    if (!e)
        return 0;
    try {
        e->link = std::make_shared<aLinkRecord>();
    } catch (...) {
        delete e;
        return 0;
    }
    e->identifier0 = identifier0;
    e->identifier1 = identifier1;
    e->identifier2 = identifier2;
    e->type = type;
    std::lock_guard lock(sTableLock);
    e->id = sNextId++;
    e->next = sHead;
    sHead = e;
    return e->id;
}

aLinkShared aLinkTable_GetLink(uint32_t linkId) {
    std::lock_guard lock(sTableLock);
    Entry *e = sLookupEntryByID(linkId);
    return e ? e->link : nullptr;
}

uint32_t aLinkTable_AddUserByIdentifier(int32_t serialNumber, int type) {
    std::lock_guard lock(sTableLock);
    Entry *e = sLookupEntryByIdentifier(serialNumber, type);
    if (!e || e->useCount <= 0)
        return 0; // a link still being created or torn down is not shared
    ++e->useCount;
    return e->id;
}

int aLinkTable_ChangeUseCount(uint32_t linkId, int delta) {
    std::lock_guard lock(sTableLock);
    Entry *e = sLookupEntryByID(linkId);
    if (!e)
        return -1;
    e->useCount = static_cast<int16_t>(e->useCount + delta);
    return e->useCount;
}

aLinkShared aLinkTable_ReleaseUser(uint32_t linkId, bool *known) {
    Entry *extracted = nullptr;
    {
        std::lock_guard lock(sTableLock);
        Entry *e = sLookupEntryByID(linkId);
        *known = e != nullptr;
        if (!e)
            return nullptr;
        if (--e->useCount > 0)
            return nullptr;
        extracted = sExtractEntry(linkId);
    }
    aLinkShared link = std::move(extracted->link);
    delete extracted;
    return link;
}
