// omp_hello_critical / omp_hello: every thread of one OpenMP parallel region greets with its
// number, and thread 0 reports the number of threads. omp_hello_critical (OMP_HELLO_CRITICAL=1)
// prints one integer line before the region and greets inside an unnamed critical section.
#include <cstdio>
#include <omp.h>

int main() {
#if OMP_HELLO_CRITICAL
    int value = 0;
    printf("%d\n", value);
#endif
#pragma omp parallel
    {
        int tid = omp_get_thread_num();
#if OMP_HELLO_CRITICAL
#pragma omp critical
#endif
        printf("Hello World from thread = %d\n", tid);
        if (tid == 0) {
            int nthreads = omp_get_num_threads();
            printf("Number of threads = %d\n", nthreads);
        }
    }
    return 0;
}
