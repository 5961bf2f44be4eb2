// omp_hello_critical / omp_hello / omp_hello_racy: every thread of one OpenMP parallel region
// greets with its number, and thread 0 reports the number of threads. Variants: SERIALIZED
// (omp_hello_critical) prints one integer line before the region and greets inside an unnamed
// critical section; UNSERIALIZED (omp_hello) greets without it. Race-free in both: each thread's
// number and the team size are locals of that thread, and every greeting is one printf call,
// which takes the stream's own lock.
// RACY (omp_hello_racy) keeps the thread number in one variable declared before the region and
// so shared by the team. The assignments take turns under a POSIX mutex (one every detector
// here understands), the greeting reads the number back without it: the assignment line (the
// assign_in_turn call) races with another thread's printf line, and a greeting may show another
// thread's number. Thread 0 is still told by its own omp_get_thread_num(), so the count line
// comes once. RACY_STATIC (omp_hello_racy_static) is the same race on a number in static
// storage instead of main's stack.
// OMP_LOCK (omp_hello_lock) shares the number as the racy variant does, but each thread sets it
// and greets with it under the runtime's own lock (omp_set_lock): race-free, with a
// synchronisation that only a detector that sees inside the OpenMP runtime can follow.
// OMP_BARRIER (omp_hello_barrier) greets as omp_hello does, but the team's last thread notes the
// team's size in static storage and thread 0 prints it after the runtime's barrier: race-free,
// ordered by the barrier alone.
#include "contract.h"
#include "trace.h"

#include <cstdio>
#include <omp.h>
#include <pthread.h>

static pthread_mutex_t number_lock = PTHREAD_MUTEX_INITIALIZER;

// Sets the team's shared `number` to `value`, one thread at a time (the racy variant). Called
// on one line, which detectors show as the writer's frame whatever line of this function the
// store is put under.
[[maybe_unused]] static void assign_in_turn(int &number, int value) {
    pthread_mutex_lock(&number_lock);
    number = value;
    pthread_mutex_unlock(&number_lock);
}

#if CORPUS_VARIANT == CORPUS_VARIANT_OMP_LOCK
static omp_lock_t greeting_lock;
#endif
#if CORPUS_VARIANT == CORPUS_VARIANT_RACY_STATIC
// RACY_STATIC: the team's one number in static storage, with external linkage: a variable no
// other translation unit could see would let the compiler drop its racy store and load (clang
// does), since a race-free program could not tell.
extern int shared_thread_number;
int shared_thread_number = -1;
#endif
// OMP_BARRIER: the team's size as its last thread noted it.
[[maybe_unused]] static int noted_team_size = 0;

int main() {
#if CORPUS_VARIANT == CORPUS_VARIANT_OMP_LOCK
    omp_init_lock(&greeting_lock);
#endif
    if constexpr (variant::serialized) {
        int value = 0;
        printf("%d\n", value);
    }
    // Where the thread number lives is the one declaration that differs: one for the whole
    // team in the racy variant, one per thread otherwise.
#if CORPUS_VARIANT == CORPUS_VARIANT_RACY || CORPUS_VARIANT == CORPUS_VARIANT_OMP_LOCK
    int thread_number = -1;
#elif CORPUS_VARIANT == CORPUS_VARIANT_RACY_STATIC
    int &thread_number = shared_thread_number;
#endif
#pragma omp parallel
    {
        trace_event("enter");
#if CORPUS_RACY_ANYWHERE
        assign_in_turn(thread_number, omp_get_thread_num()); // race: omp_hello_racy write
        const bool first_thread = omp_get_thread_num() == 0;
#elif CORPUS_VARIANT == CORPUS_VARIANT_OMP_LOCK
        // The assignment and the greeting under the runtime's lock: race-free, one greeting
        // at a time, each with its own number.
        omp_set_lock(&greeting_lock);
        thread_number = omp_get_thread_num();
        const bool first_thread = thread_number == 0;
        printf("%s%d\n", contract::omp_greeting_prefix, thread_number);
        omp_unset_lock(&greeting_lock);
#else
        int thread_number = omp_get_thread_num();
        const bool first_thread = thread_number == 0;
#endif
        if constexpr (variant::serialized) {
#pragma omp critical
            {
                trace_event("acquire");
                printf("%s%d\n", contract::omp_greeting_prefix, thread_number);
                trace_event("release");
            }
        } else if constexpr (!variant::omp_lock) {
            // race: omp_hello_racy read
            printf("%s%d\n", contract::omp_greeting_prefix, thread_number);
        }
        if constexpr (variant::omp_barrier) {
            // The last thread notes the team's size, thread 0 prints it: the barrier between
            // them is the runtime's own.
            if (omp_get_thread_num() == omp_get_num_threads() - 1)
                noted_team_size = omp_get_num_threads();
#pragma omp barrier
            if (first_thread)
                printf("%s%d\n", contract::omp_count_prefix, noted_team_size);
        } else if (first_thread) {
            int team_size = omp_get_num_threads();
            printf("%s%d\n", contract::omp_count_prefix, team_size);
        }
        trace_event("leave");
    }
#if CORPUS_VARIANT == CORPUS_VARIANT_OMP_LOCK
    omp_destroy_lock(&greeting_lock);
#endif
    return 0;
}
