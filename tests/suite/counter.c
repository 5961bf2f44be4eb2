// Two threads add to one counter, with the mutex (counter-no) or without it (counter-yes).
#include <pthread.h>
#include <stdio.h>

static long counter;
static pthread_mutex_t counter_lock = PTHREAD_MUTEX_INITIALIZER;

static void *add(void *arg) {
    (void)arg;
    for (int i = 0; i < 1000; ++i) {
        if (!RACY)
            pthread_mutex_lock(&counter_lock);
        counter = counter + 1;
        if (!RACY)
            pthread_mutex_unlock(&counter_lock);
    }
    return NULL;
}

int main(void) {
    pthread_t a, b;
    pthread_create(&a, NULL, add, NULL);
    pthread_create(&b, NULL, add, NULL);
    pthread_join(a, NULL);
    pthread_join(b, NULL);
    printf("%s\n", counter > 0 ? "counted" : "nothing");
    return 0;
}
