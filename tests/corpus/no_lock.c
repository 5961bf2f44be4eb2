// LD_PRELOAD library for the runner's trace test: pthread_mutex_lock and pthread_mutex_unlock
// do nothing, after a short wait in the lock, so that the threads of a serialized program all
// "hold" the lock at about the same time.
#include <pthread.h>
#include <unistd.h>

int pthread_mutex_lock(pthread_mutex_t *m) {
    (void)m;
    usleep(20000);
    return 0;
}

int pthread_mutex_unlock(pthread_mutex_t *m) {
    (void)m;
    return 0;
}
