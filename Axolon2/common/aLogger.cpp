// A thread that feeds a file through a procedure until disabled.
#include "aLogger.h"

#include "aThread.h"

#include <atomic>
#include <new>
#include <thread>

namespace {
constexpr uint16_t kLoggerMagic = 0xDEED;
} // namespace

struct aLogger {
    void *parameter = nullptr;
    aLoggerProc procedure = nullptr;
    aFileRef file = nullptr;
    aThreadRef thread = nullptr;
    std::atomic<bool> active{false};
    std::atomic<std::thread::id> threadId{};
    uint16_t magic = kLoggerMagic;
};

namespace {

bool sIsValid(const aLogger *logger) { return logger && logger->magic == kLoggerMagic; }

void sLoggerThread(void *argument) {
    auto *logger = static_cast<aLogger *>(argument);
    logger->threadId = std::this_thread::get_id();
    while (logger->active)
        logger->procedure(logger->file, logger->parameter);
}

} // namespace

aLoggerRef aLogger_Create(void *parameter, aLoggerProc procedure, const char *path) {
    if (!procedure)
        return nullptr;
    aFileRef file = aFile_Open(path, 2);
    if (!file)
        return nullptr;
    aFile_SetUnbuffered(file);
    auto *logger = new (std::nothrow) aLogger;
    if (!logger) {
        aFile_Close(&file);
        return nullptr;
    }
    logger->parameter = parameter;
    logger->procedure = procedure;
    logger->file = file;
    return logger;
}

aErr aLogger_Enable(aLoggerRef logger) {
    if (!sIsValid(logger))
        return aErrParam;
    if (logger->active)
        return aErrNone;
    logger->active = true;
    logger->thread = aThread_Create(sLoggerThread, logger);
    if (!logger->thread) {
        logger->active = false;
        return aErrResource;
    }
    return aErrNone;
}

aErr aLogger_Disable(aLoggerRef logger) {
    if (!sIsValid(logger))
        return aErrParam;
    if (!logger->active || logger->threadId.load() == std::this_thread::get_id())
        return aErrNone; // waiting for ourselves would never end
    logger->active = false;
    return aThread_Destroy(&logger->thread) == aErrNone ? aErrNone : aErrUnknown;
}

aErr aLogger_Destroy(aLoggerRef *logger) {
    if (!logger || !sIsValid(*logger))
        return aErrNone;
    if ((*logger)->active && (*logger)->threadId.load() == std::this_thread::get_id())
        return aErrBusy; // its own thread still runs on the record
    const aErr err = aLogger_Disable(*logger);
    if (err != aErrNone)
        return err;
    aFile_Close(&(*logger)->file);
    (*logger)->magic = 0;
    delete *logger;
    *logger = nullptr;
    return aErrNone;
}
