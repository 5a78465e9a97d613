// Packet FIFOs and their registry.
//
// Lock order: the registry mutex covers one lookup, insert or remove and is
// released before a FIFO's own lock is taken; the two are never held together.
#include "packetfifo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>

namespace {

struct aPacketDeleter {
    void operator()(aPacket *p) const { aPacket_Destroy(&p); }
};
using PacketPtr = std::unique_ptr<aPacket, aPacketDeleter>;

class SerialPacket {
  public:
    SerialPacket(PacketPtr packet, int64_t id) : packet_(std::move(packet)), id_(id) {}
    SerialPacket(SerialPacket &&) = default;
    SerialPacket &operator=(SerialPacket &&) = default;
    SerialPacket(const SerialPacket &) = delete;
    SerialPacket &operator=(const SerialPacket &) = delete;
    const aPacket *getPacket() const { return packet_.get(); }
    int64_t getId() const { return id_; }

  private:
    PacketPtr packet_;
    int64_t id_;
};

struct packetFifo {
    std::deque<SerialPacket> packets;
    std::condition_variable changed;
    std::mutex lock;
    std::atomic<bool> alive{true};
    std::atomic<int64_t> windowStart{0};
    std::atomic<int64_t> nextId{0};

    // Callers hold `lock`.
    void syncWindow() { windowStart = packets.empty() ? nextId.load() : packets.front().getId(); }
    void clearAndSyncWindow() {
        packets.clear();
        syncWindow();
    }
    template <typename It> void eraseAndSyncWindow(It first, It last) {
        packets.erase(first, last);
        syncWindow();
    }
};

using FifoRef = std::shared_ptr<packetFifo>;
using Clock = std::chrono::steady_clock;

std::mutex gpPacketFifoDictionaryMutex;
std::map<aPacketFifoId, FifoRef> gpPacketFifoDictionary;
std::atomic<aPacketFifoId> gpSequentialId{1};

FifoRef sGetFifo(aPacketFifoId id) {
    std::lock_guard lock(gpPacketFifoDictionaryMutex);
    auto it = gpPacketFifoDictionary.find(id);
    return it == gpPacketFifoDictionary.end() ? nullptr : it->second;
}

FifoRef sExtractFifo(aPacketFifoId id) {
    std::lock_guard lock(gpPacketFifoDictionaryMutex);
    auto it = gpPacketFifoDictionary.find(id);
    if (it == gpPacketFifoDictionary.end())
        return nullptr;
    FifoRef fifo = std::move(it->second);
    gpPacketFifoDictionary.erase(it);
    return fifo;
}

// Takes the element out and hands out a copy; leaves it queued if no copy can
// be made. Caller holds the FIFO's lock.
aPacket *sStealPacketFromFifo(packetFifo &fifo, std::deque<SerialPacket>::iterator at) {
    aPacket *copy = aPacket_Copy(at->getPacket());
    if (!copy)
        return nullptr;
    fifo.eraseAndSyncWindow(at, std::next(at));
    return copy;
}

Clock::time_point sDeadline(uint32_t timeoutMs) { return Clock::now() + std::chrono::milliseconds(timeoutMs); }

} // namespace

aPacketFifoId aPacketFifo_Create() {
    try {
        auto fifo = std::make_shared<packetFifo>();
        std::lock_guard lock(gpPacketFifoDictionaryMutex);
        aPacketFifoId id = gpSequentialId++;
        if (id == 0)
            id = gpSequentialId++;
        gpPacketFifoDictionary.emplace(id, std::move(fifo));
        return id;
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Destroy(aPacketFifoId *id) {
    if (!id)
        return aErrParam;
    try {
        FifoRef fifo = sExtractFifo(*id);
        if (!fifo)
            return aErrNotFound;
        {
            std::lock_guard lock(fifo->lock);
            fifo->clearAndSyncWindow();
            fifo->alive = false;
        }
        fifo->changed.notify_all();
        *id = 0;
        return aErrNone;
    } catch (...) {
        return aErrUnknown;
    }
}

size_t aPacketFifo_GetLength(aPacketFifoId id) {
    FifoRef fifo = sGetFifo(id);
    if (!fifo)
        return 0;
    std::lock_guard lock(fifo->lock);
    return fifo->packets.size();
}

aErr aPacketFifo_Put(aPacketFifoId id, const aPacket *packet) {
    if (!aVALIDPACKET(packet))
        return aErrParam;
    FifoRef fifo = sGetFifo(id);
    if (!fifo)
        return aErrParam;
    PacketPtr copy(aPacket_Copy(packet));
    if (!copy)
        return aErrParam;
    {
        std::lock_guard lock(fifo->lock);
        if (!fifo->alive)
            return aErrParam;
        const int64_t elementId = fifo->nextId++;
        try {
            fifo->packets.emplace_back(std::move(copy), elementId);
        } catch (const std::bad_alloc &) {
            return aErrResource;
        }
        fifo->syncWindow();
        if (fifo->packets.size() > aPACKETFIFO_CAPACITY) {
            // A consumer this far behind has lost track anyway; start over.
            fifo->clearAndSyncWindow();
            return aErrNone;
        }
    }
    fifo->changed.notify_all();
    return aErrNone;
}

aPacket *aPacketFifo_Get(aPacketFifoId id) {
    FifoRef fifo = sGetFifo(id);
    if (!fifo)
        return nullptr;
    std::lock_guard lock(fifo->lock);
    if (fifo->packets.empty())
        return nullptr;
    return sStealPacketFromFifo(*fifo, fifo->packets.begin());
}

aPacket *aPacketFifo_Await(aPacketFifoId id, uint32_t timeoutMs) {
    const auto deadline = sDeadline(timeoutMs);
    FifoRef fifo = sGetFifo(id);
    if (!fifo)
        return nullptr;
    std::unique_lock lock(fifo->lock);
    fifo->changed.wait_until(lock, deadline, [&] { return !fifo->packets.empty() || !fifo->alive; });
    if (!fifo->alive || fifo->packets.empty())
        return nullptr;
    return sStealPacketFromFifo(*fifo, fifo->packets.begin());
}

aPacket *aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilterProc procedure, void *reference) {
    if (!procedure)
        return nullptr;
    FifoRef fifo = sGetFifo(id);
    if (!fifo)
        return nullptr;
    std::lock_guard lock(fifo->lock);
    for (auto it = fifo->packets.begin(); it != fifo->packets.end(); ++it)
        if (procedure(it->getPacket(), reference))
            return sStealPacketFromFifo(*fifo, it);
    return nullptr;
}

aPacket *aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilterProc procedure, void *reference, uint32_t timeoutMs) {
    const auto deadline = sDeadline(timeoutMs);
    if (!procedure)
        return nullptr;
    FifoRef fifo = sGetFifo(id);
    if (!fifo)
        return nullptr;
    std::unique_lock lock(fifo->lock);
    int64_t lastExamined = fifo->windowStart - 1;
    // An index, not an iterator: puts while we wait would invalidate an iterator.
    size_t match = 0;
    bool found = false;
    auto scan = [&] {
        for (size_t i = 0; i < fifo->packets.size(); ++i) {
            const SerialPacket &element = fifo->packets[i];
            if (element.getId() <= lastExamined)
                continue;
            lastExamined = element.getId();
            if (procedure(element.getPacket(), reference)) {
                match = i;
                found = true;
                return true;
            }
        }
        return false;
    };
    fifo->changed.wait_until(lock, deadline, [&] { return !fifo->alive || scan(); });
    if (!fifo->alive || !found)
        return nullptr;
    return sStealPacketFromFifo(*fifo, fifo->packets.begin() + static_cast<std::ptrdiff_t>(match));
}

size_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilterProc procedure, void *reference) {
    if (!procedure)
        return 0;
    FifoRef fifo = sGetFifo(id);
    if (!fifo)
        return 0;
    std::lock_guard lock(fifo->lock);
    const size_t before = fifo->packets.size();
    auto keepEnd = std::stable_partition(fifo->packets.begin(), fifo->packets.end(),
                                         [&](const SerialPacket &p) { return !procedure(p.getPacket(), reference); });
    fifo->eraseAndSyncWindow(keepEnd, fifo->packets.end());
    return before - fifo->packets.size();
}
