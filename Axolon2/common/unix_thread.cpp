#include "aThread.h"

#include <cerrno>
#include <new>
#include <pthread.h>

struct aThread {
    pthread_t id;
};

namespace {

// Owned by the new thread, so the handle can go away while the thread still starts up.
struct sStart {
    aThreadProc procedure;
    void *argument;
};

void *sRun(void *start) noexcept {
    sStart job = *static_cast<sStart *>(start);
    delete static_cast<sStart *>(start);
    job.procedure(job.argument);
    return nullptr;
}

} // namespace

aThreadRef aThread_Create(aThreadProc procedure, void *argument) {
    if (procedure == nullptr)
        return nullptr;
    aThread *thread = new (std::nothrow) aThread{};
    sStart *start = new (std::nothrow) sStart{procedure, argument};
    if (thread == nullptr || start == nullptr || pthread_create(&thread->id, nullptr, sRun, start) != 0) {
        delete thread;
        delete start;
        return nullptr;
    }
    return thread;
}

aErr aThread_Destroy(aThreadRef *thread) {
    if (thread == nullptr || *thread == nullptr)
        return aErrParam;
    aThread *record = *thread;
    *thread = nullptr;
    aErr result = aErrNone;
    if (pthread_equal(record->id, pthread_self())) {
        pthread_detach(record->id);
        result = aErrDuplicate;
    } else {
        switch (pthread_join(record->id, nullptr)) {
        case 0:
            result = aErrNone;
            break;
        case EDEADLK:
            result = aErrDuplicate;
            break;
        case EINVAL:
        case ESRCH:
            result = aErrParam;
            break;
        default:
            result = aErrUnknown;
            break;
        }
    }
    delete record;
    return result;
}
