#pragma once
// A thread that calls a procedure over and over with a file opened for
// appending, until disabled.
#include "aError.h"
#include "aFile.h"

typedef struct aLogger *aLoggerRef;
typedef void (*aLoggerProc)(aFileRef file, void *parameter);

// Opens `path` for appending without buffering; null on failure.
aLoggerRef aLogger_Create(void *parameter, aLoggerProc procedure, const char *path);
// Starts the thread (aErrNone if already active; aErrResource if it cannot start).
aErr aLogger_Enable(aLoggerRef logger);
// Stops and joins the thread; from the logger's own thread it only returns.
aErr aLogger_Disable(aLoggerRef logger);
// Disables, closes the file, frees the record and nulls *logger.
aErr aLogger_Destroy(aLoggerRef *logger);
