// The client's replaceable process-wide lock, taken around the user-database
// lookup of the authentication user name.
#pragma once

#include "postgres/libpq/libpq_types.h"

// The lock in use; never null.
extern pgthreadlock_t pg_g_threadlock;

// Installs a lock function (null restores the default) and returns the
// previous one.
pgthreadlock_t PQregisterThreadLock(pgthreadlock_t newhandler);

// Locks (acquire != 0) or unlocks one static mutex.
void default_threadlock(int acquire);
