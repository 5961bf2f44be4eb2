#include "fanout.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static void join_first(pthread_t (&threads)[worker_count], int count) {
    for (int i = 0; i < count; ++i)
        pthread_join(threads[i], nullptr);
}

void launch_workers(pthread_t (&threads)[worker_count], worker_fn worker, void *record,
                    bool report_result) {
    for (int i = 0; i < worker_count; ++i) {
        std::cout << "main() : creating thread, " << i << std::endl;
        int rc = pthread_create(&threads[i], nullptr, worker, record);
        if (report_result)
            printf("Result is %i\n", rc);
        if (rc != 0) {
            std::cout << "Error:unable to create thread," << rc << std::endl;
            join_first(threads, i);
            exit(-1);
        }
    }
}

void join_workers(pthread_t (&threads)[worker_count]) {
    join_first(threads, worker_count);
}
