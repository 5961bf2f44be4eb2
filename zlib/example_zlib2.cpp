// zlib_roundtrip_locked / zlib_roundtrip_unlocked / zlib_roundtrip_racy: deflates a fixed text
// in memory, inflates it again, prints both and checks that they agree. Variants: SERIALIZED
// (zlib_roundtrip_locked) holds `lock` around the compression between "lock"/"unlock";
// UNSERIALIZED (zlib_roundtrip_unlocked) prints "start"/"end" there instead. Race-free: only the
// main thread runs, so `lock` has no other taker; the markers show where the library work is.
// RACY (zlib_roundtrip_racy) prints what zlib_roundtrip_unlocked prints, but starts a silent
// watcher thread before the inflation that reads the output buffer `c` until main says it is
// done: the watcher's read races with inflate's own stores into `c` (the inflate call line),
// which only a detector that sees inside zlib can tell. RACY_STATIC (zlib_roundtrip_racy_static)
// is the same race on a `c` in static storage instead of main's stack.
// MASKED (zlib_roundtrip_masked) prints what zlib_roundtrip_unlocked prints, but first starts a
// silent noter thread that checksums the text a while (crc32), notes its length
// (`text_note`) and passes through note_lock; `main`, once it has deflated, passes through
// note_lock and reads the note before it joins the noter. The write and the read race unless
// the noter passed through note_lock first: whether a detector that follows happens-before
// sees the race depends on the schedule.
#include "contract.h"
#include "fanout.h"

#include <cerrno> // program_invocation_short_name
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <zlib.h>

#if CORPUS_RACY_ANYWHERE || CORPUS_VARIANT == CORPUS_VARIANT_MASKED
#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <sched.h>
#endif

// Ends the process with status 1 when a zlib call returned anything but the status it must
// return, before any buffer it should have filled is read.
#define CHECK_ZLIB(call, expected) check_zlib_call(call, expected, #call, __LINE__)

static void check_zlib_call(int status, int expected, const char *text, int line) {
    if (status == expected)
        return;
    fprintf(stderr, "%s:%d: %s returned a bad status of %d.\n", __FILE_NAME__, line, text, status);
    exit(1);
}

// The round trip's final check. Unlike assert it stays in under NDEBUG (Release builds); a
// failure is reported in the standard assertion format and aborts.
#define CHECK(expr)                                                                                \
    ((expr) ? void(0) : check_failed(#expr, __FILE_NAME__, __LINE__, __PRETTY_FUNCTION__))

[[noreturn]] static void check_failed(const char *expr, const char *file, int line,
                                      const char *function) {
    fflush(stdout);
    fprintf(stderr, "%s: %s:%d: %s: Assertion `%s' failed.\n", program_invocation_short_name, file,
            line, function, expr);
    abort();
}

#if CORPUS_RACY_ANYWHERE
// The buffer the watcher reads, the flag the watcher sets once it is reading, and the flag
// main sets once inflate has returned.
struct watch_t {
    const volatile char *bytes;
    size_t size;
    std::atomic<bool> watching{false};
    std::atomic<bool> done{false};
};

// Reads the buffer byte after byte, round and round: every byte at least once, then on until
// main is done with inflate. Returns the bits seen, so that no read is dropped as unused.
static void *watch_output(void *arg) {
    watch_t *watch = static_cast<watch_t *>(arg);
    size_t next = 0;
    uintptr_t seen = 0;
    do {
        seen |= static_cast<unsigned char>(watch->bytes[next]); // race: zlib_roundtrip_racy read
        next = (next + 1) % watch->size;
        if (next == 0)
            watch->watching.store(true);
    } while (next != 0 || !watch->done.load());
    return reinterpret_cast<void *>(seen);
}

static void start_watcher(pthread_t &watcher, watch_t &watch) {
    int err = pthread_create(&watcher, nullptr, watch_output, &watch);
    if (err == 0)
        return;
    fprintf(stderr, "%s: cannot start the watcher thread: %s\n", program_invocation_short_name,
            strerror(err));
    exit(1);
}
#endif

#if CORPUS_VARIANT == CORPUS_VARIANT_MASKED
// The noter's note, the mutex that both sides pass through after their work, and the sum that
// keeps the noter's checksums from being dropped.
static volatile size_t text_note = 0;
static pthread_mutex_t note_lock = PTHREAD_MUTEX_INITIALIZER;
static volatile uLong text_crc;
// How many checksums of the text the noter makes before it writes the note: the construct's one
// setting, chosen so that either side comes first in some runs.
constexpr int masked_checksums = 25000;

static void pass_through_note_lock() {
    pthread_mutex_lock(&note_lock);
    pthread_mutex_unlock(&note_lock);
}

// The noter: checksums the text a while, notes its length and passes through note_lock.
static void *note_text(void *) {
    uLong crc = crc32(0L, Z_NULL, 0);
    const size_t length = strlen(contract::zlib_text);
    for (int i = 0; i < masked_checksums; ++i)
        crc = crc32(crc, reinterpret_cast<const Bytef *>(contract::zlib_text),
                    static_cast<uInt>(length));
    text_crc = crc;
    text_note = length; // race: zlib_roundtrip_masked write
    pass_through_note_lock();
    return nullptr;
}
#endif

int main(int, char **) {
#if CORPUS_VARIANT == CORPUS_VARIANT_MASKED
    pthread_t noter;
    if (int err = pthread_create(&noter, nullptr, note_text, nullptr); err != 0) {
        fprintf(stderr, "%s: cannot start the noter thread: %s\n", program_invocation_short_name,
                strerror(err));
        exit(1);
    }
#endif
    char a[50] = {}; // the text
    static_assert(std::char_traits<char>::length(contract::zlib_text) < sizeof a);
    strcpy(a, contract::zlib_text);
    char b[50] = {}; // compressed bytes
    // inflated bytes; in static storage in RACY_STATIC, where DRD checks them by default
#if CORPUS_VARIANT == CORPUS_VARIANT_RACY_STATIC
    static char c[50] = {};
#else
    char c[50] = {};
#endif

    printf("Uncompressed size is: %lu\n", static_cast<unsigned long>(strlen(a)));
    printf("Uncompressed string is: %s\n", a);
    puts("\n----------\n");

    // Deflate a into b, the terminating zero byte included.
    z_stream defstream = {};
    defstream.zalloc = Z_NULL;
    defstream.zfree = Z_NULL;
    defstream.opaque = Z_NULL;
    defstream.avail_in = static_cast<uInt>(strlen(a) + 1);
    defstream.next_in = reinterpret_cast<Bytef *>(a);
    defstream.avail_out = sizeof b;
    defstream.next_out = reinterpret_cast<Bytef *>(b);

    guard_enter();
    puts(open_marker);
    trace_mark(open_marker);
    CHECK_ZLIB(deflateInit(&defstream, Z_BEST_COMPRESSION), Z_OK);
    // One call must finish the stream: the text compresses into far fewer than sizeof b bytes.
    CHECK_ZLIB(deflate(&defstream, Z_FINISH), Z_STREAM_END);
    CHECK_ZLIB(deflateEnd(&defstream), Z_OK);
    puts(close_marker);
    trace_mark(close_marker);
    guard_leave();
#if CORPUS_VARIANT == CORPUS_VARIANT_MASKED
    pass_through_note_lock();
    [[maybe_unused]] const size_t note = text_note; // race: zlib_roundtrip_masked read
    pthread_join(noter, nullptr);
#endif

    // Only the bytes deflate produced are shown, up to the first zero byte among them.
    uInt compressed = static_cast<uInt>(defstream.next_out - reinterpret_cast<Bytef *>(b));
    printf("Compressed size is: %lu\n", static_cast<unsigned long>(compressed));
    printf("Compressed string is: %.*s\n", static_cast<int>(compressed), b);
    puts("\n----------\n");

    // Inflate b back into c.
    z_stream infstream = {};
    infstream.zalloc = Z_NULL;
    infstream.zfree = Z_NULL;
    infstream.opaque = Z_NULL;
    infstream.avail_in = compressed;
    infstream.next_in = reinterpret_cast<Bytef *>(b);
    infstream.avail_out = sizeof c;
    infstream.next_out = reinterpret_cast<Bytef *>(c);

    CHECK_ZLIB(inflateInit(&infstream), Z_OK);
#if CORPUS_RACY_ANYWHERE
    pthread_t watcher;
    watch_t watch{c, sizeof c};
    start_watcher(watcher, watch);
    // The inflation starts while the watcher reads, not before it has begun: a read that
    // came only after inflate (and its checksum pass over the output) would go unseen.
    while (!watch.watching.load())
        sched_yield();
#endif
    CHECK_ZLIB(inflate(&infstream, Z_NO_FLUSH), Z_STREAM_END); // race: zlib_roundtrip_racy write
#if CORPUS_RACY_ANYWHERE
    watch.done.store(true);
    pthread_join(watcher, nullptr);
#endif
    CHECK_ZLIB(inflateEnd(&infstream), Z_OK);

    printf("Uncompressed size is: %lu\n", static_cast<unsigned long>(strlen(c)));
    printf("Uncompressed string is: %s\n", c);

    // clang-format off
    CHECK(strcmp(a,c)==0);
    // clang-format on
    return 0;
}
