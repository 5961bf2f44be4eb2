/* Schedule noise for `corpus run --perturb SEED`: preloaded into a program, it delays the
   calling thread at random, a yield or a sleep of 1 to 20 microseconds, at the points where a
   race's outcome is decided: when a thread starts, around every mutex lock and unlock, and at
   the start and end of each marked library section (the programs call corpus_perturb_point
   there when it is defined). The draws come from CORPUS_PERTURB_SEED and the order in which
   threads first reach a point, so a seed gives the same noise to the same schedule. Without
   the seed the library does nothing. With CORPUS_PERTURB_LOG naming a file, the number of
   delays is appended to it at exit. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static uint64_t seed;
static int active;
static atomic_uint threads;
static atomic_ulong delays;
static __thread uint64_t state; /* this thread's generator; 0 until its first draw */

typedef int (*create_fn)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
typedef int (*mutex_fn)(pthread_mutex_t *);
static create_fn real_create;
static mutex_fn real_lock, real_unlock;

/* The functions these stand in for, found once: before main, so before any thread of the
   program (a call made earlier, by another library's constructor, finds them itself, while the
   process still has one thread). */
static void find_real(void) {
    real_create = (create_fn)dlsym(RTLD_NEXT, "pthread_create");
    real_lock = (mutex_fn)dlsym(RTLD_NEXT, "pthread_mutex_lock");
    real_unlock = (mutex_fn)dlsym(RTLD_NEXT, "pthread_mutex_unlock");
}

__attribute__((constructor)) static void perturb_init(void) {
    find_real();
    const char *s = getenv("CORPUS_PERTURB_SEED");
    if (s && *s) {
        seed = strtoull(s, NULL, 10);
        active = 1;
    }
}

__attribute__((destructor)) static void perturb_report(void) {
    const char *path = getenv("CORPUS_PERTURB_LOG");
    if (!active || !path || !*path)
        return;
    FILE *f = fopen(path, "a");
    if (f) {
        fprintf(f, "%lu\n", (unsigned long)atomic_load(&delays));
        fclose(f);
    }
}

/* splitmix64 */
static uint64_t next(void) {
    if (state == 0)
        state = seed * 0x9E3779B97F4A7C15ULL + atomic_fetch_add(&threads, 1) + 1;
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

void corpus_perturb_point(void) {
    if (!active)
        return;
    uint64_t r = next();
    atomic_fetch_add(&delays, 1);
    if (r % 2 == 0) {
        sched_yield();
    } else {
        struct timespec t = {0, (long)(1000 + (r >> 8) % 20000)};
        nanosleep(&t, NULL);
    }
}

struct start {
    void *(*routine)(void *);
    void *arg;
};

static void *started(void *p) {
    struct start s = *(struct start *)p;
    free(p);
    corpus_perturb_point();
    return s.routine(s.arg);
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*routine)(void *),
                   void *arg) {
    if (!real_create)
        find_real();
    struct start *s = active ? malloc(sizeof *s) : NULL;
    if (!s)
        return real_create(thread, attr, routine, arg);
    s->routine = routine;
    s->arg = arg;
    int err = real_create(thread, attr, started, s);
    if (err != 0)
        free(s);
    return err;
}

int pthread_mutex_lock(pthread_mutex_t *m) {
    if (!real_lock)
        find_real();
    corpus_perturb_point();
    return real_lock(m);
}

int pthread_mutex_unlock(pthread_mutex_t *m) {
    if (!real_unlock)
        find_real();
    int err = real_unlock(m);
    corpus_perturb_point();
    return err;
}
