#pragma once
// A stream over memory for tests: bytes the test (or a device model behind
// `onWrite`/`onIdle`) feeds are what the stream reads; what the link writes is
// recorded, call by call. Thread-safe: the link's two threads and the test
// touch it at once.
#include "aStream.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class MemoryLink {
  public:
    // Called (serialised with each other) with every block the host writes,
    // and whenever the host finds nothing to read; either may call feed().
    std::function<void(const uint8_t *bytes, size_t length)> onWrite;
    std::function<void()> onIdle;

    // Queues bytes for the host to read.
    void feed(const std::vector<uint8_t> &bytes);
    // From now on `get` answers `err` (aErrNone: normal reading again).
    void failReads(aErr err);
    // While held, a write waits (up to 10 s) until released.
    void holdWrites(bool hold);
    // Waits until a write is waiting on the hold; false after `timeout`.
    bool waitForHeldWrite(std::chrono::milliseconds timeout);
    // Waits until `pred(written bytes)` holds; false after `timeout`.
    bool waitForWritten(const std::function<bool(const std::vector<uint8_t> &)> &pred,
                        std::chrono::milliseconds timeout);

    std::vector<uint8_t> written() const;
    std::vector<size_t> writeSizes() const;
    bool deleted() const;

    // A new stream over this link; the stream keeps the link alive.
    static aStream *createStream(const std::shared_ptr<MemoryLink> &link);

  private:
    friend struct MemoryStreamAccess;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::vector<uint8_t> toHost_;
    size_t toHostNext_ = 0;
    std::vector<uint8_t> written_;
    std::vector<size_t> writeSizes_;
    aErr readError_ = aErrNone;
    bool hold_ = false;
    bool writeHeld_ = false;
    bool deleted_ = false;
    std::mutex peerLock_; // serialises the callbacks; never taken while lock_ is held
};
