// gzip_stream_unlocked / gzip_stream_locked: ten cycles; in each, a worker initialises the one
// shared gzip deflate stream and `main` then compresses the verse through it to standard
// output as one gzip member. The serialized variant's workers hold `lock` around the
// initialisation (FANOUT_SERIALIZED).
#include "fanout.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <zlib.h>

static const char *message = "Shall I compare thee to a summer's days?\n"
                             "Thou art more lovely and more temperate:\n"
                             "Rough winds do shake the darling buds of May,\n"
                             "And summer's lease hath all too short a dates;\n";

// A 15-bit window; adding GZIP_ENCODING selects gzip framing instead of the zlib wrapper.
constexpr int windowBits = 15;
constexpr int GZIP_ENCODING = 16;
constexpr unsigned CHUNK = 0x60000;

// Prints the failed call (file, line, its text, status) on standard error and ends the process.
[[noreturn]] static void report_failure(const char *text, int line, int status) {
    fprintf(stderr, "%s:%d: %s returned a bad status of %d.\n", __FILE_NAME__, line, text, status);
    exit(1);
}

// Standard output did not take a member: reported, so that a lost member never ends in status 0.
[[noreturn]] static void output_failed(int line) {
    fprintf(stderr, "%s:%d: cannot write to standard output.\n", __FILE_NAME__, line);
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

// Worker: initialises the shared stream for gzip output.
static void *strm_init(void *arg) {
    z_stream *strm1 = static_cast<z_stream *>(arg);
    strm1->zalloc = Z_NULL;
    strm1->zfree = Z_NULL;
    strm1->opaque = Z_NULL;
    guard_enter();
    puts(open_marker);
    // clang-format off
    CALL_ZLIB (deflateInit2 (strm1, Z_DEFAULT_COMPRESSION, Z_DEFLATED, windowBits | GZIP_ENCODING, 8, Z_DEFAULT_STRATEGY));
    // clang-format on
    guard_leave();
    puts(close_marker);
    return nullptr;
}

int main() {
    z_stream strm = {};
    static unsigned char out[CHUNK];
    pthread_t threads[worker_count];
    for (int i = 0; i < worker_count; ++i) {
        CALL_THREAD(pthread_create(&threads[i], nullptr, strm_init, &strm));
        // The worker is done with the stream before main touches it.
        CALL_THREAD(pthread_join(threads[i], nullptr));
        strm.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(message));
        strm.avail_in = static_cast<uInt>(strlen(message));
        do {
            strm.avail_out = CHUNK;
            strm.next_out = out;
            // clang-format off
            CALL_ZLIB (deflate (& strm, Z_FINISH));
            // clang-format on
            size_t have = CHUNK - strm.avail_out;
            if (fwrite(out, 1, have, stdout) != have)
                output_failed(__LINE__);
        } while (strm.avail_out == 0);
        CALL_ZLIB(deflateEnd(&strm));
    }
    if (fflush(stdout) != 0)
        output_failed(__LINE__);
    return 0;
}
