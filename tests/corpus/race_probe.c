/* A deliberately racy program: ten threads increment one counter without a lock. The runner's
   tests use it to show that a detector's report in our own code fails the run. */
#include <pthread.h>
#include <stdio.h>

static int counter;

static void *bump(void *arg) {
    counter++;
    return arg;
}

int main(void) {
    pthread_t threads[10];
    for (int i = 0; i < 10; ++i)
        pthread_create(&threads[i], NULL, bump, NULL);
    for (int i = 0; i < 10; ++i)
        pthread_join(threads[i], NULL);
    printf("Hello World from thread = 0\nNumber of threads = 1\n");
    return 0;
}
