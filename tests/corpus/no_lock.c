// LD_PRELOAD library for the runner's trace test: pthread_mutex_lock and pthread_mutex_unlock
// do nothing, so that a serialized program loses its serialization. To make the lost
// serialization certain to show, a thread that has taken the no-op lock waits at its first
// flockfile (the XML printer locks the stream for each line it prints, inside the lock section)
// until four threads have taken it, up to two seconds: four workers are then inside at once.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <stdatomic.h>
#include <stdio.h>
#include <time.h>

static atomic_int threads_locking;
static _Thread_local int locked, waited;

int pthread_mutex_lock(pthread_mutex_t *m) {
    (void)m;
    if (!locked) {
        locked = 1;
        atomic_fetch_add(&threads_locking, 1);
    }
    return 0;
}

int pthread_mutex_unlock(pthread_mutex_t *m) {
    (void)m;
    return 0;
}

static void (*real_flockfile)(FILE *);

// Found before any thread of the program starts.
__attribute__((constructor)) static void find_flockfile(void) {
    real_flockfile = (void (*)(FILE *))dlsym(RTLD_NEXT, "flockfile");
}

void flockfile(FILE *stream) {
    if (locked && !waited) {
        waited = 1;
        struct timespec start, now;
        clock_gettime(CLOCK_MONOTONIC, &start);
        do {
            sched_yield();
            clock_gettime(CLOCK_MONOTONIC, &now);
        } while (atomic_load(&threads_locking) < 4 && now.tv_sec - start.tv_sec < 2);
    }
    real_flockfile(stream);
}
