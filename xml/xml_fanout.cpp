// xml_fanout_locked / xml_fanout_unlocked / xml_fanout_racy / xml_printer_racy: ten workers
// each parse "FirstTest.xml" and print its outline. Variants: SERIALIZED (xml_fanout_locked)
// parses under `lock` between "lock"/"unlock"; UNSERIALIZED (xml_fanout_unlocked) parses without
// the mutex between "start"/"end". Race-free in both: under `lock` the workers take turns with
// the one shared parse buffer and printer state; without it every worker parses into a buffer of
// its own and the printer keeps its state per thread. Each output line is written whole under
// the stream's own lock, and `main` reads nothing the workers write.
// The two racy twins print "start"/"end" too. RACY (xml_fanout_racy) is the unserialized
// variant with the workers parsing in the one buffer of `main` (the printer state stays per
// thread), so the buffer is the one race, a worker's clear and refill (the memset line
// of parse.cpp) against another's parse (its parse_text call, where expat reads the buffer).
// RACY_PRINTER (xml_printer_racy) is the unserialized variant with the printer's depth shared
// by all threads: its changes (`depth += step` in printer.cpp) race with the indent loop's read
// there.
// HANDOVER (xml_fanout_handover) is the unserialized variant with expat's rule broken: each
// worker's parser is made on a thread of its own and handed over without a happens-before edge
// (parse.cpp), so expat's stores as it makes the parser race with its accesses as the worker
// sets the handlers, parses and frees it. ACQUIRE (xml_fanout_acquire) is race-free: the same
// hand-over, with the parser published by a release store and taken with an acquire load.
// Three race-free twins of the racy printer share its depth but order every access to it:
// SPINLOCK (xml_printer_spinlock) under a spinlock of std::atomic_flag (acquire and release);
// LOCK_ORDER (xml_printer_lock_order) under depth_lock to change it and line_lock then
// depth_lock to read it, while main took them the other way round once before the workers
// started (a lock-order inversion that cannot deadlock); TRYLOCK (xml_printer_trylock) the same
// with the read's second lock taken by try-lock with back-off.
#include "contract.h"
#include "fanout.h"
#include "parse.h"
#include "printer.h"

#include <cstdio>
#include <cstdlib>

// The parse buffer of `main`, shared by the serialized workers and by the racy ones.
struct shared_buffer_t {
    char *bytes;
    size_t size;
};

// Whether the workers parse in the buffer of `main`: under `lock`, or racing in the racy twin.
constexpr bool in_shared_buffer = variant::serialized || variant::racy;

// Thread exit values; they outlive every worker.
static int result_parsed = 0;
static int result_no_file = 1;

static void *parse_document_worker(void *arg) {
    const shared_buffer_t *shared = static_cast<const shared_buffer_t *>(arg);
    FILE *document = fopen(contract::xml_document, "r");
    if (!document) {
        puts("Failed to open file");
        pthread_exit(&result_no_file);
    }
    guard_enter();
    cout_line(open_marker, false);
    trace_mark(open_marker);
    // Unserialized workers parse at the same time: each gets a buffer of its own instead of
    // sharing the one of `main`, unless the sharing is the race to show.
    char *parse_buffer =
        in_shared_buffer ? shared->bytes : static_cast<char *>(malloc(shared->size));
    if (parse_buffer) {
        parse_stream(document, parse_buffer, shared->size);
    } else {
        printf("Error: %s\n", "out of memory for the parse buffer");
        fclose(document);
    }
    if (!in_shared_buffer)
        free(parse_buffer);
    guard_leave();
    cout_line(close_marker, false);
    trace_mark(close_marker);
    pthread_exit(&result_parsed);
}

int main() {
    static char parse_buffer[contract::xml_buffer_size];
    shared_buffer_t shared{parse_buffer, sizeof parse_buffer};
    pthread_t workers[worker_count];
    printer_prepare();
    launch_workers(workers, parse_document_worker, &shared, true);
    join_workers(workers);
    return 0;
}
