#include "aMutex.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <pthread.h>

namespace {
constexpr uint16_t sMUTEX_MAGIC = 0xF00D;
} // namespace

struct aMutex {
    pthread_mutex_t mutex;
    char name[aMUTEX_MAXNAME + 1];
    uint16_t magic;
};

namespace {
bool sValid(const aMutex *mutex) { return mutex != nullptr && mutex->magic == sMUTEX_MAGIC; }
} // namespace

aMutexRef aMutex_Create(const char *name) {
    size_t length = name == nullptr ? 0 : strnlen(name, aMUTEX_MAXNAME + 1);
    if (length > aMUTEX_MAXNAME)
        return nullptr;
    aMutex *mutex = new (std::nothrow) aMutex{};
    if (mutex == nullptr)
        return nullptr;
    if (pthread_mutex_init(&mutex->mutex, nullptr) != 0) {
        delete mutex;
        return nullptr;
    }
    if (length > 0)
        memcpy(mutex->name, name, length);
    mutex->name[length] = '\0';
    mutex->magic = sMUTEX_MAGIC;
    return mutex;
}

aErr aMutex_Lock(aMutexRef mutex) {
    if (!sValid(mutex))
        return aErrParam;
    switch (pthread_mutex_lock(&mutex->mutex)) {
    case 0:
        return aErrNone;
    case EINVAL:
        return aErrParam;
    case EDEADLK:
        return aErrDuplicate;
    default:
        return aErrUnknown;
    }
}

aErr aMutex_Unlock(aMutexRef mutex) {
    if (!sValid(mutex))
        return aErrParam;
    switch (pthread_mutex_unlock(&mutex->mutex)) {
    case 0:
        return aErrNone;
    case EPERM:
        return aErrPermission;
    case EINVAL:
        return aErrParam;
    default:
        return aErrUnknown;
    }
}

aErr aMutex_Destroy(aMutexRef *mutex) {
    if (mutex == nullptr || !sValid(*mutex))
        return aErrParam;
    aMutex *record = *mutex;
    // Freeing a held mutex would pull the lock from under its owner and any waiter.
    int probe = pthread_mutex_trylock(&record->mutex);
    if (probe == EBUSY)
        return aErrBusy;
    if (probe == 0)
        pthread_mutex_unlock(&record->mutex);
    aErr result = aErrNone;
    switch (pthread_mutex_destroy(&record->mutex)) {
    case 0:
        result = aErrNone;
        break;
    case EAGAIN:
        result = aErrResource;
        break;
    case EBUSY:
        return aErrBusy;
    case EINVAL:
        result = aErrParam;
        break;
    default:
        result = aErrUnknown;
        break;
    }
    record->magic = 0;
    delete record;
    *mutex = nullptr;
    return result;
}

const char *aMutex_Identifier(aMutexRef mutex) { return sValid(mutex) ? mutex->name : nullptr; }
