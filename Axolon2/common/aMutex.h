#pragma once
// Named, non-recursive mutexes behind an opaque handle.

#include "aError.h"

typedef struct aMutex *aMutexRef;

// Longest mutex name, in characters.
constexpr unsigned aMUTEX_MAXNAME = 255;

// A new unlocked mutex; `name` may be null (no name). Null when out of memory, when the name is
// longer than aMUTEX_MAXNAME or when the system refuses.
aMutexRef aMutex_Create(const char *name);

// aErrParam for a null or invalid handle or an invalid system mutex; aErrDuplicate when the
// system detects a deadlock.
aErr aMutex_Lock(aMutexRef mutex);

// aErrPermission when the caller does not hold the mutex.
aErr aMutex_Unlock(aMutexRef mutex);

// Destroys the mutex and nulls *mutex. A mutex that is still locked is left alone: aErrBusy,
// and *mutex stays valid so the owner can unlock it and try again.
aErr aMutex_Destroy(aMutexRef *mutex);

// The name given at creation ("" when none); null for a null or invalid handle.
const char *aMutex_Identifier(aMutexRef mutex);
