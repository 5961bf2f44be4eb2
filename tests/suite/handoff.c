// main hands a value to a worker: before starting it (handoff-no), or while it already runs
// (handoff-yes), so that the worker's read races with main's write.
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static int value;

static void *worker(void *arg) {
    (void)arg;
    usleep(1000);
    int seen = value;
    return seen >= 0 ? NULL : arg;
}

int main(void) {
    pthread_t t;
    if (!RACY)
        value = 42;
    pthread_create(&t, NULL, worker, NULL);
    if (RACY)
        value = 42;
    pthread_join(t, NULL);
    printf("%s\n", "handed over");
    return 0;
}
