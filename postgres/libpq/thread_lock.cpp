// The default process-wide lock. A failure to lock or unlock is reported on
// standard error and the caller goes on: a client library must not abort the
// application's process, and the lock only guards a user-database lookup.
#include "postgres/libpq/thread_lock.h"

#include <pthread.h>

#include <cstdio>

namespace {
// Error-checking, so that an unbalanced unlock is reported instead of being
// undefined behaviour.
pthread_mutex_t singlethread_lock = PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP;
}  // namespace

void default_threadlock(int acquire) {
    if (acquire) {
        if (pthread_mutex_lock(&singlethread_lock) != 0)
            fprintf(stderr, "failed to lock mutex\n");
    } else {
        if (pthread_mutex_unlock(&singlethread_lock) != 0)
            fprintf(stderr, "failed to unlock mutex\n");
    }
}

pgthreadlock_t pg_g_threadlock = default_threadlock;

pgthreadlock_t PQregisterThreadLock(pgthreadlock_t newhandler) {
    pgthreadlock_t prev = pg_g_threadlock;
    pg_g_threadlock = newhandler != nullptr ? newhandler : default_threadlock;
    return prev;
}
