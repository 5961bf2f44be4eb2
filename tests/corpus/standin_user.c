/* Race-free user of the stand-in library: two threads, each with a parser of its own. */
#include <pthread.h>

struct standin_parser {
    int bytes;
};
int standin_parse(struct standin_parser *p, int len);

static void *worker(void *arg) {
    struct standin_parser own = {0};
    for (int i = 0; i < 100; ++i)
        standin_parse(&own, 1);
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
