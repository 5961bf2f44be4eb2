/* A stand-in library whose one function writes two globals: a counter with no lock (a data
   race) and a total under a spinlock of its own, which valgrind's tools do not take for a lock
   (a false alarm). Built with -DSTANDIN_USER it is the race-free program that calls it from two
   threads. */
#ifdef STANDIN_USER
#include <pthread.h>

void standin_step(void);

static void *worker(void *arg) {
    for (int i = 0; i < 100; ++i)
        standin_step();
    return arg;
}

int main(void) {
    pthread_t t[2];
    for (int i = 0; i < 2; ++i)
        if (pthread_create(&t[i], 0, worker, 0) != 0)
            return 1;
    for (int i = 0; i < 2; ++i)
        pthread_join(t[i], 0);
    return 0;
}
#else
unsigned standin_racy;
unsigned standin_guarded;
static int standin_spin;

void standin_step(void) {
    standin_racy += 1;
    while (__atomic_exchange_n(&standin_spin, 1, __ATOMIC_ACQUIRE))
        ;
    standin_guarded += 1;
    __atomic_store_n(&standin_spin, 0, __ATOMIC_RELEASE);
}
#endif
