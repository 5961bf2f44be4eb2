// omp_hello_critical / omp_hello: every thread of one OpenMP parallel region greets with its
// number, and thread 0 reports the number of threads. Variants: SERIALIZED (omp_hello_critical)
// prints one integer line before the region and greets inside an unnamed critical section;
// UNSERIALIZED (omp_hello) greets without it. Race-free in both: each thread's number and the
// team size are locals of that thread, and every greeting is one printf call, which takes the
// stream's own lock.
#include "contract.h"

#include <cstdio>
#include <omp.h>

int main() {
#if CORPUS_VARIANT == CORPUS_VARIANT_SERIALIZED
    int value = 0;
    printf("%d\n", value);
#endif
#pragma omp parallel
    {
        int thread_number = omp_get_thread_num();
#if CORPUS_VARIANT == CORPUS_VARIANT_SERIALIZED
#pragma omp critical
#endif
        printf("%s%d\n", contract::omp_greeting_prefix, thread_number);
        if (thread_number == 0) {
            int team_size = omp_get_num_threads();
            printf("%s%d\n", contract::omp_count_prefix, team_size);
        }
    }
    return 0;
}
