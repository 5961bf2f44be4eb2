#include "printer.h"

#include "contract.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sched.h>

// The printer state: nesting depth over every parse run so far, and the latest run of
// character data. One copy per process; the unserialized and racy variants (whose parses run
// concurrently without a lock) keep one copy per thread instead. The racy printer variant keeps
// only the content per thread: its depth is one for the process, changed under depth_lock but
// read by the indent loop without it, the one race of that program.
#ifndef CORPUS_VARIANT
#error "printer.cpp is built as one variant: define CORPUS_VARIANT"
#endif
// The storage of the state is what differs between the variants, and `thread_local` is part of
// a declaration, so the one condition is stated for the preprocessor: every variant whose parses
// run at once without the lock keeps its state per thread, but the racy printer its depth.
// The racy printer and the twins that order its shared depth another way (a spinlock, two
// mutexes in both orders) share only the depth.
#define DEPTH_SHARED                                                                               \
    (CORPUS_VARIANT == CORPUS_VARIANT_RACY_PRINTER || CORPUS_VARIANT == CORPUS_VARIANT_SPINLOCK || \
     CORPUS_VARIANT == CORPUS_VARIANT_LOCK_ORDER || CORPUS_VARIANT == CORPUS_VARIANT_TRYLOCK)
#define PRINTER_PER_THREAD                                                                         \
    (CORPUS_VARIANT == CORPUS_VARIANT_UNSERIALIZED || CORPUS_VARIANT == CORPUS_VARIANT_RACY ||     \
     CORPUS_VARIANT == CORPUS_VARIANT_HANDOVER || CORPUS_VARIANT == CORPUS_VARIANT_ACQUIRE ||      \
     DEPTH_SHARED)
#if PRINTER_PER_THREAD
#define PRINTER_STATE thread_local
#else
#define PRINTER_STATE
#endif
static PRINTER_STATE char *last_content = nullptr;
#if PRINTER_PER_THREAD && !DEPTH_SHARED
static thread_local int depth = 0;
#else
static int depth = 0;
#endif
// The racy printer and the two-mutex twins change the shared depth under depth_lock; the
// two-mutex twins read it under line_lock and then depth_lock, the other order of the one
// printer_prepare takes.
constexpr bool depth_locked = variant::racy_printer || variant::lock_order || variant::trylock;
constexpr bool two_mutexes = variant::lock_order || variant::trylock;

#if PRINTER_PER_THREAD
// Releases a thread's last copy when the thread ends; the process-wide copy lives as long as
// the process.
struct content_release_t {
    ~content_release_t() {
        free(last_content);
    }
};
static thread_local content_release_t release_at_thread_end;
#endif

// Orders the changes of the shared depth among themselves, so that they never race each other.
[[maybe_unused]] static pthread_mutex_t depth_lock = PTHREAD_MUTEX_INITIALIZER;
// The two-mutex twins' second mutex, taken before depth_lock to read the depth.
[[maybe_unused]] static pthread_mutex_t line_lock = PTHREAD_MUTEX_INITIALIZER;
// The spinlock twin's lock over the shared depth: taken with acquire, released with release.
[[maybe_unused]] static std::atomic_flag depth_spin = ATOMIC_FLAG_INIT;

[[maybe_unused]] static void spin_lock() {
    while (depth_spin.test_and_set(std::memory_order_acquire))
        sched_yield();
}

[[maybe_unused]] static void spin_unlock() {
    depth_spin.clear(std::memory_order_release);
}

void printer_prepare() {
    if constexpr (two_mutexes) {
        // depth_lock, then line_lock: the one place of this order, run by main before any worker
        // starts, so that it never meets the other order at once.
        pthread_mutex_lock(&depth_lock);
        pthread_mutex_lock(&line_lock); // race: xml_printer_lock_order first order
        depth = 0;
        pthread_mutex_unlock(&line_lock);
        pthread_mutex_unlock(&depth_lock);
    }
}

// Moves the depth one level in (+1) or out (-1).
static void step_depth(int step) {
    if constexpr (depth_locked)
        pthread_mutex_lock(&depth_lock);
    if constexpr (variant::spinlock)
        spin_lock();
    depth += step; // race: xml_printer_racy write
    if constexpr (variant::spinlock)
        spin_unlock();
    if constexpr (depth_locked)
        pthread_mutex_unlock(&depth_lock);
}

// The shared depth as the twins that order it read it, under their own locks.
[[maybe_unused]] static int guarded_depth() {
    if constexpr (variant::spinlock) {
        spin_lock();
        const int d = depth;
        spin_unlock();
        return d;
    } else if constexpr (variant::lock_order) {
        pthread_mutex_lock(&line_lock);
        pthread_mutex_lock(&depth_lock); // race: xml_printer_lock_order second order
        const int d = depth;
        pthread_mutex_unlock(&depth_lock);
        pthread_mutex_unlock(&line_lock);
        return d;
    } else if constexpr (variant::trylock) {
        // The other order, but never waiting for depth_lock while holding line_lock: on a
        // failed try both are let go and taken again, so this order cannot deadlock.
        for (;;) {
            pthread_mutex_lock(&line_lock);
            if (pthread_mutex_trylock(&depth_lock) == 0)
                break;
            pthread_mutex_unlock(&line_lock);
            sched_yield();
        }
        const int d = depth;
        pthread_mutex_unlock(&depth_lock);
        pthread_mutex_unlock(&line_lock);
        return d;
    }
    return depth;
}

static void indent() {
    if constexpr (variant::spinlock || two_mutexes) {
        for (int i = 0, d = guarded_depth(); i < d; ++i)
            putchar(' ');
        return;
    }
    for (int i = 0; i < depth; ++i) // race: xml_printer_racy read
        putchar(' ');
}

// Each line is printed with several stdio calls; holding the stream's own lock across them keeps
// other threads' output (the launcher's lines, another parse) from landing inside the line.
void start_element(void *, const XML_Char *name, const XML_Char **attributes) {
    flockfile(stdout);
    indent();
    printf("%s", name);
    for (int i = 0; attributes[i]; i += 2)
        printf(" %s= '%s'", attributes[i], attributes[i + 1]);
    putchar('\n');
    funlockfile(stdout);
    step_depth(1);
}

void end_element(void *, const XML_Char *name) {
    flockfile(stdout);
    indent();
    // No character data seen yet in this process: the content is the empty string.
    printf("Content of element %s was \"%s\"\n", name, last_content ? last_content : "");
    funlockfile(stdout);
    step_depth(-1);
}

void handle_data(void *, const XML_Char *text, int len) {
    if (len < 0)
        return;
    char *copy = static_cast<char *>(malloc(static_cast<size_t>(len) + 1));
    if (!copy)
        return; // keep the previous content
    strncpy(copy, text, static_cast<size_t>(len));
    copy[len] = '\0';
    free(last_content);
    last_content = copy;
#if PRINTER_PER_THREAD
    (void)&release_at_thread_end; // constructs this thread's release on first use
#endif
}
