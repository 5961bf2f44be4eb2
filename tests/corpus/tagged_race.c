/* A racy program whose two racing statements carry race tags: the writer thread's store and
   main's load of `shared`, unordered by anything. The runner's label tests compile copies of it
   themselves, moved and with or without -g. */
#include <pthread.h>
#include <stdio.h>

static int shared;

static void *writer(void *arg) {
    shared = 1; // race: tagged_race write
    return arg;
}

int main(void) {
    pthread_t t;
    if (pthread_create(&t, NULL, writer, NULL) != 0)
        return 1;
    int seen = shared; // race: tagged_race read
    pthread_join(t, NULL);
    printf("%d\n", seen >= 0);
    return 0;
}
