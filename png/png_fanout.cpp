// png_fanout_traced / png_fanout / png_fanout_racy: ten workers at once encode one 100 by 100
// RGB gradient as a PNG file, all into the same "gradient.png". Variants: UNSERIALIZED
// (png_fanout_traced) prints "start" as each worker's first action; UNTRACED (png_fanout) prints
// no marker. Race-free: `main` fills the gradient before the first worker starts and frees it
// after the last one is joined, the workers only read it, and each worker has its own libpng
// structures, row buffers and stream; the file they all rewrite is the file system's business,
// not shared memory.
// RACY (png_fanout_racy), unmarked like png_fanout, hands libpng row pointers straight into the
// shared gradient instead of copies, and each worker first refills the whole gradient with the
// same values. The refills take turns under refill_lock, the encoding reads without it: the
// refill line (its memcpy) races with another worker's encoding (the write_rows call, where
// libpng reads the rows). Every byte written is the byte already there, so the file still holds
// exactly the gradient.
// HANDOVER (png_fanout_handover), unmarked like png_fanout, breaks libpng's rule that a thread
// uses only structures of its own: each worker's write and info structures are made on a thread
// of their own and handed to the worker without a happens-before edge, so libpng's stores as it
// makes them race with its own loads and stores as the worker encodes with them. FENCE
// (png_fanout_fence) is race-free: the same hand-over, with the structures published after a
// release fence and taken before an acquire fence, around a relaxed flag.
// EVICT (png_fanout_evict), unmarked like png_fanout, has one race in a word of per-worker bytes
// (see worker_started below).
// LOCK_ORDER (png_fanout_lock_order) and GATE_LOCK (png_fanout_gate_lock), unmarked like
// png_fanout, count the encodings begun under two mutexes taken in both orders: LOCK_ORDER has a
// lock-order inversion that cannot deadlock (one order runs in `main` before the workers
// start); GATE_LOCK has none that matters, since a third mutex is held around both orders.
// STATIC_INIT (png_fanout_static_init), unmarked like png_fanout, is race-free: the gradient is
// built not by `main` but by the first worker, in a function-local static's initialiser, and the
// others read it only once the initialiser is done, as the language orders.
#include "bitmap.h"
#include "contract.h"
#include "fanout.h"
#include "handover.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// What every worker receives: the picture to encode and the file to write.
struct png_job_t {
    bitmap_t *image;
    const char *out_path;
};

// Writes the gradient into `image`, a zero-filled picture of the contract's size: red grows to
// the right and green downwards; blue stays 0 from the zero fill.
static void fill_gradient(bitmap_t *image) {
    for (int y = 0; y < contract::gradient_height; ++y) {
        for (int x = 0; x < contract::gradient_width; ++x) {
            rgb_pixel_t *pixel = pixel_at(image, x, y);
            pixel->red = contract::gradient_value(x, contract::gradient_width) & 0xff;
            pixel->green = contract::gradient_value(y, contract::gradient_height) & 0xff;
        }
    }
}

// Orders the refills among themselves (the racy variant); the encoders never take it.
static pthread_mutex_t refill_lock = PTHREAD_MUTEX_INITIALIZER;

// Copies a freshly made gradient over `image`, the one `main` made: the same bytes again.
[[maybe_unused]] static void refill_gradient(bitmap_t *image) {
    rgb_pixel_t fresh[contract::gradient_width * contract::gradient_height] = {};
    bitmap_t made{fresh, contract::gradient_width, contract::gradient_height};
    fill_gradient(&made);
    pthread_mutex_lock(&refill_lock);
    memcpy(image->pixels, fresh, sizeof fresh); // race: png_fanout_racy write
    pthread_mutex_unlock(&refill_lock);
}

// The gradient of STATIC_INIT, built by the first worker that asks, in a function-local
// static's initialiser: the language makes the others wait for it (a guard that libstdc++ keeps
// with atomics and a futex), and then they only read it.
[[maybe_unused]] static bitmap_t *built_gradient() {
    static rgb_pixel_t pixels[contract::gradient_width * contract::gradient_height];
    static bitmap_t made = [] {
        bitmap_t b{pixels, contract::gradient_width, contract::gradient_height};
        fill_gradient(&b); // the initialiser's writes
        return b;
    }();
    return &made;
}

// EVICT: each worker marks its start in a byte of its own, worker k (in the order they take a
// number) in byte k of words shared with others, and only worker 0 ever reads another's byte,
// worker 1's, once its file is written: nothing orders that read after worker 1's mark. Up to
// then the other workers' marks land in the same word, so a detector that keeps a few accesses
// per word may have dropped worker 1's by the time of the read.
[[maybe_unused]] alignas(8) static unsigned char worker_started[contract::workers];
[[maybe_unused]] static pthread_mutex_t number_lock = PTHREAD_MUTEX_INITIALIZER;
[[maybe_unused]] static int numbers_taken = 0;

// Takes the worker's number and marks its start. The mark follows the unlock, so the mutex
// orders no mark before another worker's read.
[[maybe_unused]] [[gnu::noinline]] static int mark_worker_started() {
    pthread_mutex_lock(&number_lock);
    const int k = numbers_taken++;
    pthread_mutex_unlock(&number_lock);
    worker_started[k] = 1; // race: png_fanout_evict write
    return k;
}

// Worker 0 looks whether worker 1 has started: the one read across.
[[maybe_unused]] [[gnu::noinline]] static void look_across(int k) {
    if (k != 0)
        return;
    volatile unsigned char seen = worker_started[1]; // race: png_fanout_evict read
    (void)seen;
}

// LOCK_ORDER and GATE_LOCK: a count of the encodings begun, kept under two mutexes taken in
// both orders. LOCK_ORDER takes count_lock then tally_lock once in `main` before the workers
// start, and tally_lock then count_lock in each worker: never at once. GATE_LOCK takes them in
// either order in the workers, always under gate_lock, so that no two orders meet.
[[maybe_unused]] static pthread_mutex_t count_lock = PTHREAD_MUTEX_INITIALIZER;
[[maybe_unused]] static pthread_mutex_t tally_lock = PTHREAD_MUTEX_INITIALIZER;
[[maybe_unused]] static pthread_mutex_t gate_lock = PTHREAD_MUTEX_INITIALIZER;
[[maybe_unused]] static int encodings_begun = 0;

// Adds `step` to the count under both mutexes, count_lock first or (`reversed`) tally_lock
// first.
[[maybe_unused]] static void count_encoding(int step, bool reversed) {
    if (reversed) {
        pthread_mutex_lock(&tally_lock);
        pthread_mutex_lock(&count_lock); // race: png_fanout_lock_order second order
    } else {
        pthread_mutex_lock(&count_lock);
        pthread_mutex_lock(&tally_lock); // race: png_fanout_lock_order first order
    }
    encodings_begun += step;
    pthread_mutex_unlock(&tally_lock);
    pthread_mutex_unlock(&count_lock);
}

// A worker's count: the other order (LOCK_ORDER), or under the gate in the order that the count
// so far picks, so that both orders are taken (GATE_LOCK).
[[maybe_unused]] static void count_worker_encoding() {
    if constexpr (variant::lock_order)
        count_encoding(1, true);
    if constexpr (variant::gate_lock) {
        pthread_mutex_lock(&gate_lock);
        count_encoding(1, encodings_begun % 2 == 1);
        pthread_mutex_unlock(&gate_lock);
    }
}

// Thread exit values; they outlive every worker.
static int status_written = 0;
static int status_failed = -1;

// libpng's messages, each as one whole line in one write (libpng's own handler writes the text
// and its newline apart, so two workers' lines could merge).
static void report_png_error(png_structp write, png_const_charp message) {
    fprintf(stderr, "libpng error: %s\n", message);
    png_longjmp(write, 1);
}

static void report_png_warning(png_structp, png_const_charp message) {
    fprintf(stderr, "libpng warning: %s\n", message);
}

// Encodes the rows set on `info`. Kept out of line, so that a detector's stack for libpng's reads
// of the rows holds the call to it even when libpng itself is not instrumented.
[[gnu::noinline]] static void write_rows(png_structp write, png_infop info) {
    png_write_png(write, info, PNG_TRANSFORM_IDENTITY, nullptr);
}

// The hand-over's maker: a write structure with libpng's messages, and its info structure.
[[maybe_unused]] static void make_structures(void *, void *made[2]) {
    png_structp write = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, report_png_error,
                                                report_png_warning);
    made[0] = write;
    made[1] = write ? png_create_info_struct(write) : nullptr;
}

// Encodes job->image into job->out_path; ends the thread with 0 when the file was written
// completely, -1 otherwise. libpng's errors are reported on stderr, one line each.
static void *encode_gradient_worker(void *arg) {
    const png_job_t *job = static_cast<const png_job_t *>(arg);
    bitmap_t *image = variant::static_init ? built_gradient() : job->image;
    const char *path = job->out_path;
    if constexpr (variant::unserialized) {
        cout_line(open_marker, false);
        trace_mark(open_marker);
    }
    // Changed between setjmp and a longjmp back to it, hence volatile.
    int *volatile status = &status_failed;
    png_bytepp volatile rows = nullptr;
    volatile size_t rows_made = 0;
    const int pixel_size = 3;
    const int depth = 8;
    png_structp write = nullptr;
    png_infop info = nullptr;
    [[maybe_unused]] handover_t handover;

    [[maybe_unused]] int number = 0;
    if constexpr (variant::evict)
        number = mark_worker_started();
    if constexpr (variant::racy)
        refill_gradient(image);
    count_worker_encoding();
    FILE *stream = fopen(path, "wb");
    if (!stream) {
        int err = errno;
        fprintf(stderr, "%s: cannot open for writing: %s\n", path, strerror(err));
        pthread_exit(status);
    }
    trace_event("enter"); // libpng's work, from its write structure to its release
    if constexpr (variant::handed) {
        if (int err = handover_start(handover, make_structures, nullptr, variant_handover_order);
            err != 0) {
            fprintf(stderr, "%s: cannot start the thread that makes the PNG structures: %s\n", path,
                    strerror(err));
            fclose(stream);
            trace_event("leave");
            pthread_exit(status);
        }
        write = static_cast<png_structp>(handover_take(handover, 0));
    } else {
        write = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, report_png_error,
                                        report_png_warning);
    }
    if (!write) {
        // libpng reports nothing itself here; say why the file stays empty.
        fprintf(stderr, "%s: cannot create the PNG write structure\n", path);
        fclose(stream);
        if constexpr (variant::handed)
            handover_finish(handover);
        trace_event("leave");
        pthread_exit(status);
    }
    if constexpr (variant::handed)
        info = static_cast<png_infop>(handover_take(handover, 1));
    else
        info = png_create_info_struct(write);
    if (!info)
        goto destroy;
    if (setjmp(png_jmpbuf(write)))
        goto release_rows;

    png_set_IHDR(write, info, image->width, image->height, depth, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    rows = static_cast<png_bytepp>(png_malloc(write, image->height * sizeof(png_bytep)));
    if constexpr (variant::racy) {
        // The rows of the shared gradient itself: nothing to copy, nothing of ours to release.
        static_assert(sizeof(rgb_pixel_t) == pixel_size, "libpng takes the pixels as they lie");
        for (size_t y = 0; y < image->height; ++y)
            rows[y] = reinterpret_cast<png_bytep>(pixel_at(image, 0, static_cast<int>(y)));
    } else {
        for (size_t y = 0; y < image->height; ++y) {
            png_bytep row = static_cast<png_bytep>(png_malloc(write, image->width * pixel_size));
            rows[y] = row;
            rows_made = y + 1;
            for (size_t x = 0; x < image->width; ++x) {
                const rgb_pixel_t *pixel =
                    pixel_at(image, static_cast<int>(x), static_cast<int>(y));
                *row++ = pixel->red;
                *row++ = pixel->green;
                *row++ = pixel->blue;
            }
        }
    }
    png_init_io(write, stream);
    png_set_rows(write, info, rows);
    write_rows(write, info); // race: png_fanout_racy read
    status = &status_written;
    if constexpr (variant::evict)
        look_across(number);

release_rows:
    // Also reached by a libpng error: the rows made so far are released on that path too.
    for (size_t y = 0; y < rows_made; ++y)
        png_free(write, rows[y]);
    png_free(write, rows);
destroy:
    png_destroy_write_struct(&write, &info);
    if constexpr (variant::handed)
        handover_finish(handover); // only now: the join orders nothing before the last use
    trace_event("leave");
    // Buffered bytes reach the file only here, so a full disk shows up at the close.
    if (fclose(stream) != 0 && status == &status_written) {
        int err = errno;
        fprintf(stderr, "%s: cannot write: %s\n", path, strerror(err));
        status = &status_failed;
    }
    pthread_exit(status);
}

int main() {
    bitmap_t gradient{nullptr, contract::gradient_width, contract::gradient_height};
    if constexpr (!variant::static_init) {
        gradient.pixels = static_cast<rgb_pixel_t *>(
            calloc(gradient.width * gradient.height, sizeof(rgb_pixel_t)));
        if (!gradient.pixels)
            return -1;
        fill_gradient(&gradient);
    }
    png_job_t job{&gradient, contract::png_output};
    if constexpr (variant::lock_order)
        count_encoding(0, false); // the first order, before any worker runs

    pthread_t workers[worker_count];
    launch_workers(workers, encode_gradient_worker, &job, false);
    // Every file is complete and no worker reads the pixels once they are all back.
    join_workers(workers);
    free(gradient.pixels);
    return 0;
}
