#pragma once
// Joinable threads behind an opaque handle.

#include "aError.h"

typedef struct aThread *aThreadRef;

// Thread body. It must not let an exception escape: the thread would terminate the process.
typedef void (*aThreadProc)(void *argument);

// Starts a thread that calls procedure(argument); null when it cannot be started.
aThreadRef aThread_Create(aThreadProc procedure, void *argument);

// Waits until the procedure has returned, frees the handle and nulls *thread. aErrParam for a
// null handle; aErrDuplicate when called from the thread itself (it is detached instead, so
// its resources are still released when it ends); other join failures give aErrUnknown.
aErr aThread_Destroy(aThreadRef *thread);
