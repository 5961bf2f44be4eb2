// Shared pieces of the threaded programs: the process-wide mutex `lock`, the launcher that
// starts the ten workers, and the trace-marker convention of the two variants.
#pragma once

#include "contract.h"

#include "trace.h"

#include <pthread.h>

// The one process-wide mutex; taken only by the serialized variants.
extern pthread_mutex_t lock;

// Number of workers every launcher program starts.
constexpr int worker_count = contract::workers;

using worker_fn = void *(*)(void *);

// Starts `worker_count` workers into `threads`, each with `record` as its argument. For each
// index prints "main() : creating thread, <i>" (std::endl), starts the worker and, when
// `report_result` is set, prints "Result is %i\n" with what pthread_create returned. A failed
// start prints "Error:unable to create thread,<err>" (std::endl), waits for the workers already
// started so that none is cut off inside its library work, and ends the process with status 255.
void launch_workers(pthread_t (&threads)[worker_count], worker_fn worker, void *record,
                    bool report_result);

// Waits for every worker started by launch_workers.
void join_workers(pthread_t (&threads)[worker_count]);

// Writes `text` and a newline to std::cout in one piece, so that no other thread's output can
// fall inside the line; with `flush` it also flushes, as std::endl does.
void cout_line(const char *text, bool flush);

// Trace markers, from the target's CORPUS_VARIANT. The serialized variant's guarded sections
// take `lock` and print "lock"/"unlock"; every other variant takes no mutex and prints
// "start"/"end" at the same points (the untraced one prints none). Each program prints the
// marker its own way (std::cout, std::endl or puts), as its output format requires. The
// launcher library itself is built without a variant and uses none of this.
#ifdef CORPUS_VARIANT
constexpr bool serialized = variant::serialized;
constexpr const char *open_marker =
    serialized ? contract::serialized_open : contract::unserialized_open;
constexpr const char *close_marker =
    serialized ? contract::serialized_close : contract::unserialized_close;

// Takes `lock` in the serialized variant (nothing in the others) and begins the thread's
// library work; both are recorded on the trace side channel.
inline void guard_enter() {
    if constexpr (serialized) {
        pthread_mutex_lock(&lock);
        trace_event("acquire");
    }
    trace_event("enter");
}

// Ends the thread's library work and releases `lock` in the serialized variant.
inline void guard_leave() {
    trace_event("leave");
    if constexpr (serialized) {
        trace_event("release");
        pthread_mutex_unlock(&lock);
    }
}
#endif // CORPUS_VARIANT
