#include "fanout.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

void cout_line(const char *text, bool flush) {
    std::cout << std::string(text) + "\n";
    if (flush)
        std::cout.flush();
}

static void join_first(pthread_t (&threads)[worker_count], int count) {
    for (int i = 0; i < count; ++i)
        pthread_join(threads[i], nullptr);
}

void launch_workers(pthread_t (&threads)[worker_count], worker_fn worker, void *record,
                    bool report_result) {
    for (int i = 0; i < worker_count; ++i) {
        cout_line((contract::creating_prefix + std::to_string(i)).c_str(), true);
        int rc = pthread_create(&threads[i], nullptr, worker, record);
        if (report_result)
            printf("%s%i\n", contract::result_prefix, rc);
        if (rc != 0) {
            cout_line((contract::create_error_prefix + std::to_string(rc)).c_str(), true);
            join_first(threads, i);
            exit(-1);
        }
    }
}

void join_workers(pthread_t (&threads)[worker_count]) {
    join_first(threads, worker_count);
}
