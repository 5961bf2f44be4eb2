// png_fanout_traced / png_fanout: ten workers at once encode one 100 by 100 RGB gradient as a
// PNG file, all into the same "gradient.png". Variants: UNSERIALIZED (png_fanout_traced)
// prints "start" as each worker's first action; UNTRACED (png_fanout) prints no marker.
// Race-free: `main` fills the gradient before the first worker starts and frees it after the
// last one is joined, the workers only read it, and each worker has its own libpng structures,
// row buffers and stream; the file they all rewrite is the file system's business, not shared
// memory.
#include "bitmap.h"
#include "contract.h"
#include "fanout.h"

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

// Encodes job->image into job->out_path; ends the thread with 0 when the file was written
// completely, -1 otherwise. libpng's errors are reported on stderr, one line each.
static void *encode_gradient_worker(void *arg) {
    const png_job_t *job = static_cast<const png_job_t *>(arg);
    bitmap_t *image = job->image;
    const char *path = job->out_path;
#if CORPUS_VARIANT != CORPUS_VARIANT_UNTRACED
    cout_line(open_marker, false);
#endif
    // Changed between setjmp and a longjmp back to it, hence volatile.
    int *volatile status = &status_failed;
    png_bytepp volatile rows = nullptr;
    volatile size_t rows_made = 0;
    const int pixel_size = 3;
    const int depth = 8;
    png_structp write = nullptr;
    png_infop info = nullptr;

    FILE *stream = fopen(path, "wb");
    if (!stream) {
        int err = errno;
        fprintf(stderr, "%s: cannot open for writing: %s\n", path, strerror(err));
        pthread_exit(status);
    }
    write = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, report_png_error,
                                    report_png_warning);
    if (!write) {
        // libpng reports nothing itself here; say why the file stays empty.
        fprintf(stderr, "%s: cannot create the PNG write structure\n", path);
        fclose(stream);
        pthread_exit(status);
    }
    info = png_create_info_struct(write);
    if (!info)
        goto destroy;
    if (setjmp(png_jmpbuf(write)))
        goto release_rows;

    png_set_IHDR(write, info, image->width, image->height, depth, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    rows = static_cast<png_bytepp>(png_malloc(write, image->height * sizeof(png_bytep)));
    for (size_t y = 0; y < image->height; ++y) {
        png_bytep row = static_cast<png_bytep>(png_malloc(write, image->width * pixel_size));
        rows[y] = row;
        rows_made = y + 1;
        for (size_t x = 0; x < image->width; ++x) {
            const rgb_pixel_t *pixel = pixel_at(image, static_cast<int>(x), static_cast<int>(y));
            *row++ = pixel->red;
            *row++ = pixel->green;
            *row++ = pixel->blue;
        }
    }
    png_init_io(write, stream);
    png_set_rows(write, info, rows);
    png_write_png(write, info, PNG_TRANSFORM_IDENTITY, nullptr);
    status = &status_written;

release_rows:
    // Also reached by a libpng error: the rows made so far are released on that path too.
    for (size_t y = 0; y < rows_made; ++y)
        png_free(write, rows[y]);
    png_free(write, rows);
destroy:
    png_destroy_write_struct(&write, &info);
    // Buffered bytes reach the file only here, so a full disk shows up at the close.
    if (fclose(stream) != 0 && status == &status_written) {
        int err = errno;
        fprintf(stderr, "%s: cannot write: %s\n", path, strerror(err));
        status = &status_failed;
    }
    pthread_exit(status);
}

int main() {
    bitmap_t gradient;
    gradient.width = contract::gradient_width;
    gradient.height = contract::gradient_height;
    gradient.pixels =
        static_cast<rgb_pixel_t *>(calloc(gradient.width * gradient.height, sizeof(rgb_pixel_t)));
    if (!gradient.pixels)
        return -1;
    // Red grows to the right and green downwards; blue stays 0 from the zero fill.
    for (int y = 0; y < contract::gradient_height; ++y) {
        for (int x = 0; x < contract::gradient_width; ++x) {
            rgb_pixel_t *pixel = pixel_at(&gradient, x, y);
            pixel->red = contract::gradient_value(x, contract::gradient_width) & 0xff;
            pixel->green = contract::gradient_value(y, contract::gradient_height) & 0xff;
        }
    }
    png_job_t job{&gradient, contract::png_output};

    pthread_t workers[worker_count];
    launch_workers(workers, encode_gradient_worker, &job, false);
    // Every file is complete and no worker reads the pixels once they are all back.
    join_workers(workers);
    free(gradient.pixels);
    return 0;
}
