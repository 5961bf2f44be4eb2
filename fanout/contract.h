// The fixed texts and figures that the programs print or write, in one place: the programs use
// them to do their work, the runner's checks and the tests use them to judge it.
#pragma once

// --- Variants -------------------------------------------------------------------------------
// Every program target that shares its source with a twin defines CORPUS_VARIANT to one of
// these. A source picks its behaviour with the constants of `variant` below (`if constexpr`),
// and with `#if CORPUS_VARIANT == CORPUS_VARIANT_...` only where a declaration differs.
#define CORPUS_VARIANT_SINGLE 0       // one thread, no twin
#define CORPUS_VARIANT_SERIALIZED 1   // library work under `lock`, markers "lock"/"unlock"
#define CORPUS_VARIANT_UNSERIALIZED 2 // the same work without the mutex, markers "start"/"end"
#define CORPUS_VARIANT_UNTRACED 3     // unserialized, without trace markers
#define CORPUS_VARIANT_RACY 4         // a labelled data race, the racy twin of a race-free program
#define CORPUS_VARIANT_RACY_PRINTER 5 // the XML printer's depth raced on, the rest per thread
// A library's own thread-safety rule broken once, the rest as in the race-free twin:
#define CORPUS_VARIANT_HANDOVER                                                                    \
    6                              // a library object made on one thread, used on another, with
                                   // no happens-before edge between them (see handover.h)
#define CORPUS_VARIANT_UNGUARDED 7 // a library called without the lock it requires
// Twins that put one construct to the detectors, where they differ:
#define CORPUS_VARIANT_RACY_STATIC 8  // the racy twin with the raced object in static storage
#define CORPUS_VARIANT_SPINLOCK 9     // shared state under a spinlock of atomic_flag
#define CORPUS_VARIANT_LOCK_ORDER 10  // two mutexes taken in both orders, never at once
#define CORPUS_VARIANT_TRYLOCK 11     // the same, the second order by try-lock with back-off
#define CORPUS_VARIANT_STATIC_INIT 12 // shared data built by a function-local static's initialiser
#define CORPUS_VARIANT_OMP_LOCK 13    // shared state under the OpenMP runtime's own lock
#define CORPUS_VARIANT_MASKED 14      // a race that an unrelated mutex orders in some schedules
#define CORPUS_VARIANT_GATE_LOCK 15   // two mutexes in both orders, always under a third
#define CORPUS_VARIANT_OMP_BARRIER 16 // shared state ordered by the OpenMP runtime's barrier
#define CORPUS_VARIANT_HISTORY 17     // a race whose earlier access lies a million writes back
#define CORPUS_VARIANT_ACQUIRE 18     // the hand-over ordered by a release store, acquire loads
#define CORPUS_VARIANT_FENCE 19       // the hand-over ordered by release and acquire fences
#define CORPUS_VARIANT_EVICT 20       // per-thread bytes of one word, one read across
// Whether the raced object of a racy twin lives in static storage, for the preprocessor (where
// an object lives is part of its declaration).
#define CORPUS_RACY_ANYWHERE                                                                       \
    (CORPUS_VARIANT == CORPUS_VARIANT_RACY || CORPUS_VARIANT == CORPUS_VARIANT_RACY_STATIC)

namespace contract {

// --- The worker launcher --------------------------------------------------------------------
constexpr int workers = 10;
constexpr const char *creating_prefix = "main() : creating thread, ";
constexpr const char *result_prefix = "Result is ";
constexpr const char *create_error_prefix = "Error:unable to create thread,";

// --- Markers --------------------------------------------------------------------------------
constexpr const char *serialized_open = "lock";
constexpr const char *serialized_close = "unlock";
constexpr const char *unserialized_open = "start";
constexpr const char *unserialized_close = "end";

// --- XML ------------------------------------------------------------------------------------
constexpr const char *xml_document = "FirstTest.xml";
constexpr const char *xml_length_line = "strlen(buff) before parsing: 0";
constexpr unsigned long xml_buffer_size = 100000; // documents of this size or more are refused

// --- PNG ------------------------------------------------------------------------------------
constexpr const char *png_output = "gradient.png";
constexpr int gradient_width = 100;
constexpr int gradient_height = 100;
// value / max scaled to 0..256 (truncated); 0 for a negative value. The pixel at (x, y) is
// red gradient_value(x, width) & 0xff, green gradient_value(y, height) & 0xff, blue 0.
constexpr int gradient_value(int value, int max) {
    return value < 0 ? 0 : static_cast<int>(static_cast<double>(value) / max * 256.0);
}

// --- Image crop -----------------------------------------------------------------------------
constexpr const char *crop_input = "samp.png";
constexpr const char *crop_output = "logo.png";
// The unserialized workers write at once, each a file of its own: "logo-<k>.png", k from 0.
constexpr const char *crop_output_stem = "logo-";
constexpr int crop_x = 100, crop_y = 100, crop_width = 100, crop_height = 100;

// --- Download -------------------------------------------------------------------------------
constexpr const char *download_output = "test.curl";
// A picture of the window shows a full bar when its fill covers this share of the middle row.
constexpr double download_bar_full = 0.7;

// --- zlib round trip ------------------------------------------------------------------------
constexpr const char *zlib_text = "Hello Hello Hello Hello Hello Hello!";

// --- gzip stream ----------------------------------------------------------------------------
constexpr int gzip_cycles = 10;
constexpr const char *gzip_verse = "Shall I compare thee to a summer's days?\n"
                                   "Thou art more lovely and more temperate:\n"
                                   "Rough winds do shake the darling buds of May,\n"
                                   "And summer's lease hath all too short a dates;\n";

// --- OpenMP greeting ------------------------------------------------------------------------
constexpr const char *omp_greeting_prefix = "Hello World from thread = ";
constexpr const char *omp_count_prefix = "Number of threads = ";

} // namespace contract

#ifdef CORPUS_VARIANT
// The variant this target is built as.
namespace variant {
constexpr bool serialized = CORPUS_VARIANT == CORPUS_VARIANT_SERIALIZED;
constexpr bool unserialized = CORPUS_VARIANT == CORPUS_VARIANT_UNSERIALIZED;
constexpr bool racy = CORPUS_RACY_ANYWHERE;
constexpr bool racy_static = CORPUS_VARIANT == CORPUS_VARIANT_RACY_STATIC;
constexpr bool racy_printer = CORPUS_VARIANT == CORPUS_VARIANT_RACY_PRINTER;
constexpr bool handover = CORPUS_VARIANT == CORPUS_VARIANT_HANDOVER;
constexpr bool unguarded = CORPUS_VARIANT == CORPUS_VARIANT_UNGUARDED;
constexpr bool spinlock = CORPUS_VARIANT == CORPUS_VARIANT_SPINLOCK;
constexpr bool lock_order = CORPUS_VARIANT == CORPUS_VARIANT_LOCK_ORDER;
constexpr bool trylock = CORPUS_VARIANT == CORPUS_VARIANT_TRYLOCK;
constexpr bool static_init = CORPUS_VARIANT == CORPUS_VARIANT_STATIC_INIT;
constexpr bool omp_lock = CORPUS_VARIANT == CORPUS_VARIANT_OMP_LOCK;
constexpr bool masked = CORPUS_VARIANT == CORPUS_VARIANT_MASKED;
constexpr bool gate_lock = CORPUS_VARIANT == CORPUS_VARIANT_GATE_LOCK;
constexpr bool omp_barrier = CORPUS_VARIANT == CORPUS_VARIANT_OMP_BARRIER;
constexpr bool history = CORPUS_VARIANT == CORPUS_VARIANT_HISTORY;
constexpr bool acquire = CORPUS_VARIANT == CORPUS_VARIANT_ACQUIRE;
constexpr bool fence = CORPUS_VARIANT == CORPUS_VARIANT_FENCE;
constexpr bool evict = CORPUS_VARIANT == CORPUS_VARIANT_EVICT;
// Whether the library objects are made on a thread of their own and handed over (handover.h).
constexpr bool handed = handover || acquire || fence;
} // namespace variant
#endif
