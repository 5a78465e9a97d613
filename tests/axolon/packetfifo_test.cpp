#include "packetfifo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

struct PacketDeleter {
    void operator()(aPacket *p) const { aPacket_Destroy(&p); }
};
using Packet = std::unique_ptr<aPacket, PacketDeleter>;

Packet make(uint8_t address, std::vector<uint8_t> data = {}) {
    data.reserve(1); // a null data pointer is refused even for no data
    return Packet(aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data()));
}

class Fifo : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(id, 0u); }
    void TearDown() override {
        if (id) {
            EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone);
        }
    }
    void put(uint8_t address) { ASSERT_EQ(aPacketFifo_Put(id, make(address).get()), aErrNone); }
    aPacketFifoId id = aPacketFifo_Create();
};

bool fromAddress(const aPacket *p, void *ref) { return p->address == *static_cast<uint8_t *>(ref); }
bool always(const aPacket *, void *) { return true; }

} // namespace

TEST_F(Fifo, KeepsOrderAndHandsOutCopies) {
    Packet original = make(4, {1, 2});
    ASSERT_EQ(aPacketFifo_Put(id, original.get()), aErrNone);
    original->data[0] = 9; // the queued copy is not the caller's packet
    put(6);
    EXPECT_EQ(aPacketFifo_GetLength(id), 2u);
    Packet first(aPacketFifo_Get(id));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->address, 4);
    EXPECT_EQ(first->data[0], 1);
    Packet second(aPacketFifo_Get(id));
    ASSERT_TRUE(second);
    EXPECT_EQ(second->address, 6);
    EXPECT_EQ(aPacketFifo_Get(id), nullptr);
}

TEST_F(Fifo, The1001stPacketDiscardsTheQueue) {
    for (int i = 0; i < 1000; ++i)
        put(2);
    EXPECT_EQ(aPacketFifo_GetLength(id), 1000u);
    put(2);
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
    // The FIFO works on afterwards, and filter waits see new packets.
    put(8);
    uint8_t want = 8;
    Packet p(aPacketFifo_AwaitFirst(id, fromAddress, &want, 0));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->address, 8);
}

TEST_F(Fifo, AwaitWithZeroTimeout) {
    EXPECT_EQ(aPacketFifo_Await(id, 0), nullptr);
    put(4);
    Packet p(aPacketFifo_Await(id, 0));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->address, 4);
}

TEST_F(Fifo, AwaitTimesOutEmpty) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aPacketFifo_Await(id, 50), nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
}

TEST_F(Fifo, GetFirstTakesTheMatchAndLeavesTheRest) {
    put(2); // A
    put(4); // B
    uint8_t want = 4;
    Packet b(aPacketFifo_GetFirst(id, fromAddress, &want));
    ASSERT_TRUE(b);
    EXPECT_EQ(b->address, 4);
    want = 10;
    EXPECT_EQ(aPacketFifo_GetFirst(id, fromAddress, &want), nullptr);
    Packet a(aPacketFifo_Get(id));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->address, 2);
}

TEST_F(Fifo, DrainRemovesMatchesAndKeepsOthersInOrder) {
    for (uint8_t a : {2, 4, 6, 4, 8})
        put(a);
    uint8_t want = 4;
    EXPECT_EQ(aPacketFifo_DrainPackets(id, fromAddress, &want), 2u);
    for (uint8_t a : {2, 6, 8}) {
        Packet p(aPacketFifo_Get(id));
        ASSERT_TRUE(p);
        EXPECT_EQ(p->address, a);
    }
    for (int i = 0; i < 5; ++i)
        put(2);
    EXPECT_EQ(aPacketFifo_DrainPackets(id, always, nullptr), 5u);
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
}

namespace {
struct CountingFilter {
    std::atomic<int> calls{0};
    static bool accept(const aPacket *p, void *ref) {
        ++static_cast<CountingFilter *>(ref)->calls;
        return p->address == 0x10;
    }
};
} // namespace

TEST_F(Fifo, AwaitFirstOffersEachPacketOnce) {
    CountingFilter filter;
    auto waiter = std::async(
        std::launch::async, [&] { return Packet(aPacketFifo_AwaitFirst(id, CountingFilter::accept, &filter, 10000)); });
    // Three non-matching packets one by one, each offered before the next comes (so the
    // waiter wakes for each and must not offer the earlier ones again).
    for (int n = 0; n < 3; ++n) {
        put(static_cast<uint8_t>(4 + 2 * n));
        for (int i = 0; i < 2000 && filter.calls < 1 + n; ++i)
            std::this_thread::sleep_for(1ms);
    }
    put(0x10);
    Packet p = waiter.get();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->address, 0x10);
    EXPECT_EQ(filter.calls, 4);
    EXPECT_EQ(aPacketFifo_GetLength(id), 3u);
}

TEST_F(Fifo, DestroyWakesAFilterWaiter) {
    CountingFilter filter; // accepts only address 0x10
    auto waiter = std::async(std::launch::async, [&] {
        const auto start = std::chrono::steady_clock::now();
        Packet p(aPacketFifo_AwaitFirst(id, CountingFilter::accept, &filter, 20000));
        return std::make_pair(p == nullptr, std::chrono::steady_clock::now() - start);
    });
    put(2);
    // Once the filter has seen the packet, the waiter holds the FIFO and waits on it.
    for (int i = 0; i < 5000 && filter.calls < 1; ++i)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(filter.calls, 1);
    aPacketFifoId copy = id;
    ASSERT_EQ(aPacketFifo_Destroy(&id), aErrNone);
    EXPECT_EQ(id, 0u);
    ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
    auto [gotNull, took] = waiter.get();
    EXPECT_TRUE(gotNull);
    EXPECT_LT(took, 10s);
    EXPECT_EQ(aPacketFifo_Destroy(&copy), aErrNotFound);
}

TEST(FifoIds, UnknownIdsGiveEmptyAnswers) {
    aPacketFifoId id = aPacketFifo_Create();
    aPacketFifoId gone = id;
    ASSERT_EQ(aPacketFifo_Destroy(&id), aErrNone);
    Packet p = make(2);
    EXPECT_EQ(aPacketFifo_Put(gone, p.get()), aErrParam);
    EXPECT_EQ(aPacketFifo_Get(gone), nullptr);
    EXPECT_EQ(aPacketFifo_Await(gone, 10), nullptr);
    EXPECT_EQ(aPacketFifo_GetLength(gone), 0u);
    EXPECT_EQ(aPacketFifo_DrainPackets(gone, always, nullptr), 0u);
    EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
    aPacketFifoId other = aPacketFifo_Create();
    EXPECT_NE(other, gone); // ids are not reused
    aPacketFifo_Destroy(&other);
}

TEST(FifoConcurrency, ProducersAndConsumersLoseNothing) {
    aPacketFifoId id = aPacketFifo_Create();
    constexpr int kProducers = 3, kPerProducer = 300;
    std::atomic<int> received{0};
    std::vector<std::thread> threads;
    std::vector<std::vector<int>> seen(kProducers);
    std::mutex seenLock;
    for (int c = 0; c < 2; ++c)
        threads.emplace_back([&] {
            while (received < kProducers * kPerProducer) {
                Packet p(aPacketFifo_Await(id, 20));
                if (!p)
                    continue;
                std::lock_guard lock(seenLock);
                seen[p->data[0]].push_back(p->data[1] << 8 | p->data[2]);
                ++received;
            }
        });
    for (int t = 0; t < kProducers; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerProducer; ++i) {
                Packet p = make(2, {static_cast<uint8_t>(t), static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)});
                while (aPacketFifo_GetLength(id) > 500)
                    std::this_thread::yield(); // stay below the discard limit
                aPacketFifo_Put(id, p.get());
            }
        });
    for (auto &t : threads)
        t.join();
    for (int t = 0; t < kProducers; ++t) {
        ASSERT_EQ(seen[t].size(), static_cast<size_t>(kPerProducer));
        std::sort(seen[t].begin(), seen[t].end());
        for (int i = 0; i < kPerProducer; ++i)
            EXPECT_EQ(seen[t][i], i);
    }
    aPacketFifo_Destroy(&id);
}
