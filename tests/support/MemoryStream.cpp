#include "MemoryStream.h"

struct MemoryStreamAccess {
    static aErr get(uint8_t *byte, void *ref);
    static aErr write(const uint8_t *bytes, size_t length, void *ref);
    static aErr put(uint8_t byte, void *ref) { return write(&byte, 1, ref); }
    static aErr del(void *ref);
};

namespace {
struct Holder {
    std::shared_ptr<MemoryLink> link;
};
constexpr auto kGetWait = std::chrono::milliseconds(5);
} // namespace

void MemoryLink::feed(const std::vector<uint8_t> &bytes) {
    std::lock_guard lock(lock_);
    toHost_.insert(toHost_.end(), bytes.begin(), bytes.end());
    changed_.notify_all();
}

void MemoryLink::failReads(aErr err) {
    std::lock_guard lock(lock_);
    readError_ = err;
    changed_.notify_all();
}

void MemoryLink::holdWrites(bool hold) {
    std::lock_guard lock(lock_);
    hold_ = hold;
    changed_.notify_all();
}

bool MemoryLink::waitForHeldWrite(std::chrono::milliseconds timeout) {
    std::unique_lock lock(lock_);
    return changed_.wait_for(lock, timeout, [this] { return writeHeld_; });
}

bool MemoryLink::waitForWritten(const std::function<bool(const std::vector<uint8_t> &)> &pred,
                                std::chrono::milliseconds timeout) {
    std::unique_lock lock(lock_);
    return changed_.wait_for(lock, timeout, [&] { return pred(written_); });
}

std::vector<uint8_t> MemoryLink::written() const {
    std::lock_guard lock(lock_);
    return written_;
}

std::vector<size_t> MemoryLink::writeSizes() const {
    std::lock_guard lock(lock_);
    return writeSizes_;
}

bool MemoryLink::deleted() const {
    std::lock_guard lock(lock_);
    return deleted_;
}

aStream *MemoryLink::createStream(const std::shared_ptr<MemoryLink> &link) {
    auto *holder = new Holder{link};
    aStream *stream = aStream_Create(MemoryStreamAccess::get, MemoryStreamAccess::put, MemoryStreamAccess::write,
                                     MemoryStreamAccess::del, holder);
    if (!stream)
        delete holder;
    return stream;
}

aErr MemoryStreamAccess::get(uint8_t *byte, void *ref) {
    MemoryLink &m = *static_cast<Holder *>(ref)->link;
    for (int pass = 0; pass < 2; ++pass) {
        {
            std::unique_lock lock(m.lock_);
            if (m.readError_ != aErrNone)
                return m.readError_;
            if (m.toHostNext_ < m.toHost_.size()) {
                *byte = m.toHost_[m.toHostNext_++];
                return aErrNone;
            }
            if (pass == 1) {
                m.changed_.wait_for(lock, kGetWait, [&m] { return m.toHostNext_ < m.toHost_.size(); });
                if (m.toHostNext_ < m.toHost_.size()) {
                    *byte = m.toHost_[m.toHostNext_++];
                    return aErrNone;
                }
                return aErrNotReady;
            }
        }
        {
            std::lock_guard peer(m.peerLock_);
            if (m.onIdle)
                m.onIdle();
        }
    }
    return aErrNotReady;
}

aErr MemoryStreamAccess::write(const uint8_t *bytes, size_t length, void *ref) {
    MemoryLink &m = *static_cast<Holder *>(ref)->link;
    {
        std::unique_lock lock(m.lock_);
        if (m.hold_) {
            m.writeHeld_ = true;
            m.changed_.notify_all();
            m.changed_.wait_for(lock, std::chrono::seconds(10), [&m] { return !m.hold_; });
            m.writeHeld_ = false;
        }
        m.written_.insert(m.written_.end(), bytes, bytes + length);
        m.writeSizes_.push_back(length);
        m.changed_.notify_all();
    }
    std::lock_guard peer(m.peerLock_);
    if (m.onWrite)
        m.onWrite(bytes, length);
    return aErrNone;
}

aErr MemoryStreamAccess::del(void *ref) {
    auto *holder = static_cast<Holder *>(ref);
    {
        std::lock_guard lock(holder->link->lock_);
        holder->link->deleted_ = true;
    }
    delete holder;
    return aErrNone;
}
