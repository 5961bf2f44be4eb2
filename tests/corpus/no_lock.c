// LD_PRELOAD library for the runner's trace test: pthread_mutex_lock and pthread_mutex_unlock
// do nothing, but a thread's first lock call waits (up to two seconds) until four threads have
// asked for a lock, so that the workers of a serialized program "hold" it at the same time.
#include <pthread.h>
#include <stdatomic.h>
#include <unistd.h>

static atomic_int threads_asking;
static _Thread_local int asked;

int pthread_mutex_lock(pthread_mutex_t *m) {
    (void)m;
    if (!asked) {
        asked = 1;
        atomic_fetch_add(&threads_asking, 1);
        for (int waited = 0; atomic_load(&threads_asking) < 4 && waited < 2000; ++waited)
            usleep(1000);
    }
    return 0;
}

int pthread_mutex_unlock(pthread_mutex_t *m) {
    (void)m;
    return 0;
}
