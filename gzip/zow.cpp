// gzip_stream_unlocked / gzip_stream_locked: ten cycles; in each, a worker initialises the one
// shared gzip deflate stream and `main` then compresses the verse through it to standard
// output as one gzip member. Variants: UNSERIALIZED (gzip_stream_unlocked) marks the
// initialisation with "start"/"end"; SERIALIZED (gzip_stream_locked) holds `lock` around it and
// marks it with "lock"/"unlock". Race-free: `main` joins each worker before it touches the
// stream, so the stream never has two users at once.
// HANDOVER (gzip_stream_handover) breaks zlib's rule that a stream is used from one thread at a
// time: it prints what gzip_stream_unlocked prints, but `main` takes the stream as soon as the
// worker says, with a relaxed store, that it is initialised, and joins the worker only after
// deflateEnd. Nothing orders deflateInit2's stores on the worker before deflate's and
// deflateEnd's loads on `main`: the race lies wholly inside zlib.
// MASKED (gzip_stream_masked) prints what gzip_stream_unlocked prints, but the first cycle's
// worker, once it has initialised the stream, also notes that it has (`first_note`) and then
// passes through note_lock; `main` checksums the verse a while (crc32), passes through note_lock
// and reads the note before it joins the worker. The note's write and read race unless the
// worker passed through note_lock first: then the mutex orders them. Whether a detector that
// follows happens-before sees the race depends on the schedule.
// HISTORY (gzip_stream_history) prints what gzip_stream_unlocked prints, but the first cycle's
// worker, once it has noted the initialisation, writes a scratch buffer a million times and only
// then raises a relaxed flag; `main` waits for the flag and reads the note before it joins the
// worker. Nothing orders the note's write before its read, but a million writes lie between
// them: a detector that keeps a bounded history of accesses may no longer know the write's
// stack, or drop the report.
#include "contract.h"
#include "fanout.h"
#include "handover.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <zlib.h>

// A 15-bit window; adding GZIP_ENCODING selects gzip framing instead of the zlib wrapper.
constexpr int windowBits = 15;
constexpr int GZIP_ENCODING = 16;
constexpr unsigned CHUNK = 0x60000;

// Prints the failed call (file, line, its text, status) on standard error and ends the process.
[[noreturn]] static void report_failure(const char *text, int line, int status) {
    fprintf(stderr, "%s:%d: %s returned a bad status of %d.\n", __FILE_NAME__, line, text, status);
    exit(1);
}

// Standard output did not take a member: no later member may follow it, and the exit check of
// standard output reports the failure.
[[noreturn]] static void output_failed() {
    exit(1);
}

// A negative zlib status ends the process; any other lets the caller go on.
#define CALL_ZLIB(x) check_zlib_call(x, #x, __LINE__)

static void check_zlib_call(int status, const char *text, int line) {
    if (status < 0)
        report_failure(text, line, status);
}

// A thread call must return 0; anything else ends the process.
#define CALL_THREAD(x) check_thread_call(x, #x, __LINE__)

static void check_thread_call(int status, const char *text, int line) {
    if (status != 0)
        report_failure(text, line, status);
}

// MASKED: the first cycle's note, the mutex that both sides pass through, and whether the
// worker notes (set and cleared by `main` while no worker runs).
[[maybe_unused]] static volatile int first_note = 0;
[[maybe_unused]] static pthread_mutex_t note_lock = PTHREAD_MUTEX_INITIALIZER;
[[maybe_unused]] static bool noting = false;
[[maybe_unused]] static volatile uLong verse_crc; // keeps `main`'s checksums from being dropped
// How many checksums of the verse `main` makes before it passes through note_lock: the
// construct's one setting, chosen so that either side comes first in some runs.
constexpr int masked_checksums = 20000;

// HISTORY: the scratch buffer the worker writes between the note and the flag, written byte by
// byte through a volatile pointer so that every write is one access, and the flag.
[[maybe_unused]] static unsigned char scratch[1 << 20];
[[maybe_unused]] static std::atomic<bool> note_raised{false};

[[maybe_unused]] static void pass_through_note_lock() {
    pthread_mutex_lock(&note_lock);
    pthread_mutex_unlock(&note_lock);
}

// Worker: initialises the shared stream for gzip output.
static void *init_stream_worker(void *arg) {
    z_stream *stream = static_cast<z_stream *>(arg);
    stream->zalloc = Z_NULL;
    stream->zfree = Z_NULL;
    stream->opaque = Z_NULL;
    guard_enter();
    puts(open_marker);
    trace_mark(open_marker);
    // clang-format off
    CALL_ZLIB (deflateInit2 (stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, windowBits | GZIP_ENCODING, 8, Z_DEFAULT_STRATEGY));
    // clang-format on
    guard_leave();
    puts(close_marker);
    trace_mark(close_marker);
    if constexpr (variant::masked) {
        if (noting) {
            first_note = 1; // race: gzip_stream_masked write
            pass_through_note_lock();
        }
    }
    if constexpr (variant::history) {
        if (noting) {
            first_note = 1; // race: gzip_stream_history write
            volatile unsigned char *bytes = scratch;
            for (size_t i = 0; i < sizeof scratch; ++i)
                bytes[i] = static_cast<unsigned char>(i);
            note_raised.store(true, std::memory_order_relaxed);
        }
    }
    return nullptr;
}

// HISTORY, the first cycle: `main` reads the note once the worker has raised its flag, which
// orders nothing (a relaxed load).
[[maybe_unused]] static void read_raised_note() {
    while (!note_raised.load(std::memory_order_relaxed))
        sched_yield();
    [[maybe_unused]] const int note = first_note; // race: gzip_stream_history read
}

// MASKED, the first cycle: `main`'s side of the note, before it joins the worker.
[[maybe_unused]] static void read_first_note() {
    uLong crc = crc32(0L, Z_NULL, 0);
    for (int i = 0; i < masked_checksums; ++i)
        crc = crc32(crc, reinterpret_cast<const Bytef *>(contract::gzip_verse),
                    static_cast<uInt>(strlen(contract::gzip_verse)));
    verse_crc = crc;
    pass_through_note_lock();
    [[maybe_unused]] const int note = first_note; // race: gzip_stream_masked read
}

// The hand-over's maker: the worker's initialisation, then the stream handed to `main`.
[[maybe_unused]] static void make_stream(void *stream, void *made[2]) {
    init_stream_worker(stream);
    made[0] = made[1] = stream;
}

int main() {
    z_stream strm = {};
    static unsigned char member[CHUNK];
    pthread_t worker;
    [[maybe_unused]] handover_t handover;
    for (int cycle = 0; cycle < contract::gzip_cycles; ++cycle) {
        if constexpr (variant::handover) {
            CALL_THREAD(handover_start(handover, make_stream, &strm));
            handover_take(handover, 0);
        } else {
            noting = (variant::masked || variant::history) && cycle == 0;
            CALL_THREAD(pthread_create(&worker, nullptr, init_stream_worker, &strm));
            if constexpr (variant::masked) {
                if (cycle == 0)
                    read_first_note();
            }
            if constexpr (variant::history) {
                if (cycle == 0)
                    read_raised_note();
            }
            // The worker is done with the stream before main touches it.
            CALL_THREAD(pthread_join(worker, nullptr));
            noting = false;
        }
        strm.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(contract::gzip_verse));
        strm.avail_in = static_cast<uInt>(strlen(contract::gzip_verse));
        do {
            strm.avail_out = CHUNK;
            strm.next_out = member;
            // clang-format off
            CALL_ZLIB (deflate (& strm, Z_FINISH));
            // clang-format on
            size_t have = CHUNK - strm.avail_out;
            if (fwrite(member, 1, have, stdout) != have)
                output_failed();
        } while (strm.avail_out == 0);
        // The maker thread is joined before the stream ends, so that only the hand-over itself
        // (deflateInit2_ on the maker against deflate here) is unordered.
        if constexpr (variant::handover)
            handover_finish(handover);
        CALL_ZLIB(deflateEnd(&strm));
    }
    if (fflush(stdout) != 0)
        output_failed();
    return 0;
}
