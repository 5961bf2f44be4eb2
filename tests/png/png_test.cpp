#include "bitmap.h"
#include "contract.h"
#include "expect_lines.h"
#include "run_program.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <png.h>

TEST(PngPixels, GradientValueScalesToByteRangeWithoutUpperClamp) {
    using contract::gradient_value;
    EXPECT_EQ(gradient_value(-1, 100), 0);
    EXPECT_EQ(gradient_value(-1000, 100), 0);
    EXPECT_EQ(gradient_value(0, 100), 0);
    EXPECT_EQ(gradient_value(1, 100), 2);
    EXPECT_EQ(gradient_value(25, 100), 64);
    EXPECT_EQ(gradient_value(50, 100), 128);
    EXPECT_EQ(gradient_value(99, 100), 253);
    EXPECT_EQ(gradient_value(100, 100), 256);
    EXPECT_EQ(gradient_value(3, 7), 109);
}

TEST(PngPixels, PixelAtAddressesRowsOfWidthPixels) {
    rgb_pixel_t pixels[100 * 3];
    bitmap_t bitmap{pixels, 100, 3};
    const char *origin = reinterpret_cast<const char *>(pixel_at(&bitmap, 0, 0));
    EXPECT_EQ(sizeof(rgb_pixel_t), 3u);
    EXPECT_EQ(origin, reinterpret_cast<const char *>(pixels));
    EXPECT_EQ(reinterpret_cast<const char *>(pixel_at(&bitmap, 1, 0)) - origin, 3);
    EXPECT_EQ(reinterpret_cast<const char *>(pixel_at(&bitmap, 0, 1)) - origin, 300);
    EXPECT_EQ(pixel_at(&bitmap, 99, 2), &pixels[299]);
    // Negative coordinates keep their sign: from the middle row, one row up and one pixel left.
    bitmap_t middle{&pixels[100], 100, 1};
    EXPECT_EQ(pixel_at(&middle, 0, -1), &pixels[0]);
    EXPECT_EQ(pixel_at(&middle, -1, 0), &pixels[99]);
}

struct decoded_png_t {
    png_uint_32 width = 0, height = 0;
    int bit_depth = 0, color_type = 0, interlace = 0, compression = 0, filter = 0;
    std::vector<std::vector<png_byte>> rows;
};

// Reads a PNG file with libpng, without transforms.
static bool read_png(const std::string &path, decoded_png_t &d) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    png_structp read = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(read);
    bool ok = false;
    if (setjmp(png_jmpbuf(read)) == 0) {
        png_init_io(read, f);
        png_read_png(read, info, PNG_TRANSFORM_IDENTITY, nullptr);
        png_get_IHDR(read, info, &d.width, &d.height, &d.bit_depth, &d.color_type, &d.interlace,
                     &d.compression, &d.filter);
        png_bytepp rows = png_get_rows(read, info);
        size_t row_bytes = png_get_rowbytes(read, info);
        for (png_uint_32 y = 0; y < d.height; ++y)
            d.rows.emplace_back(rows[y], rows[y] + row_bytes);
        ok = true;
    }
    png_destroy_read_struct(&read, &info, nullptr);
    fclose(f);
    return ok;
}

// The written file: the contract's gradient, 8-bit truecolour, PNG defaults, red growing
// across, green down, blue 0.
static void expect_gradient_file(const std::string &path) {
    using contract::gradient_height, contract::gradient_width;
    decoded_png_t d;
    ASSERT_TRUE(read_png(path, d)) << path;
    EXPECT_EQ(d.width, png_uint_32(gradient_width));
    EXPECT_EQ(d.height, png_uint_32(gradient_height));
    EXPECT_EQ(d.bit_depth, 8);
    EXPECT_EQ(d.color_type, PNG_COLOR_TYPE_RGB);
    EXPECT_EQ(d.interlace, PNG_INTERLACE_NONE);
    EXPECT_EQ(d.compression, 0);
    EXPECT_EQ(d.filter, 0);
    ASSERT_EQ(d.rows.size(), size_t(gradient_height));
    int wrong = 0;
    for (int y = 0; y < gradient_height; ++y) {
        ASSERT_EQ(d.rows[y].size(), size_t(3 * gradient_width));
        for (int x = 0; x < gradient_width; ++x) {
            const png_byte *p = &d.rows[y][3 * x];
            wrong += p[0] != contract::gradient_value(x, gradient_width) ||
                     p[1] != contract::gradient_value(y, gradient_height) || p[2] != 0;
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(d.rows[0][3 * 99], 253);
    EXPECT_EQ(d.rows[99][1], 253);
}

static std::string png_path(const std::string &dir) {
    return dir + "/" + contract::png_output;
}

// Standard output without the workers' "start" lines.
static std::string without_start(const std::string &out) {
    std::string s;
    for (const auto &l : split_lines(out))
        if (l != "start")
            s += l + "\n";
    return s;
}

TEST(PngFanout, TracedWorkersPrintStartAndWriteTheGradient) {
    run_result_t r = run_program("png_fanout_traced");
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count_lines(r.out, "start"), 10);
    EXPECT_EQ(without_start(r.out), creation_lines(10));
    EXPECT_EQ(r.err, "");
    expect_gradient_file(png_path(r.dir));
}

TEST(PngFanout, UntracedPrintsOnlyTheLauncherLines) {
    run_result_t r = run_program("png_fanout");
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, creation_lines(10));
    EXPECT_EQ(r.err, "");
    expect_gradient_file(png_path(r.dir));
}

// Runs `program` after a shell command has prepared its directory (tests run as root, for
// whom permission bits stop no write, so the failure is made with what is in the way).
static run_result_t run_after(const std::string &setup, const std::string &program) {
    run_options_t o;
    o.args = {"-c", setup + " && exec '" + program_path(program) + "'"};
    return run_program("/bin/sh", o);
}

// A worker that cannot write the file says so on stderr, one line each; the process still
// ends with status 0.
TEST(PngFanout, UnwritableOutputIsReportedAndStatusStaysZero) {
    for (const char *program : {"png_fanout_traced", "png_fanout"}) {
        SCOPED_TRACE(program);
        run_result_t r = run_after(std::string("mkdir ") + contract::png_output, program);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(without_start(r.out), creation_lines(10));
        EXPECT_EQ(count_lines(r.err, "gradient.png: cannot open for writing: Is a directory"), 10)
            << r.err;
        EXPECT_EQ(split_lines(r.err).size(), 10u);

        // The file opens but its bytes find no room: reported when the stream is closed.
        r = run_after(std::string("ln -s /dev/full ") + contract::png_output, program);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(count_lines(r.err, "gradient.png: cannot write: No space left on device"), 10)
            << r.err;
        EXPECT_EQ(split_lines(r.err).size(), 10u);
    }
}

// No pixel buffer: status 255 before any output, no thread, no file.
TEST(PngFanout, FailedPixelAllocationReturnsMinusOne) {
    for (const char *program : {"png_fanout_traced", "png_fanout"}) {
        SCOPED_TRACE(program);
        run_options_t o;
        o.preload = {fault_library_path()};
        o.env = {{"FAULT_CALLOC_BYTES", "30000"}, {"FAULT_CALLOC", "1"}};
        run_result_t r = run_program(program, o);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(file_exists(png_path(r.dir)));
    }
}

// A failed thread start at index k: k+1 creation lines, the error line, status 255; the k
// workers already started finish their file first.
TEST(PngFanout, FailedThreadStartEndsWith255) {
    for (const char *program : {"png_fanout_traced", "png_fanout"}) {
        for (int k : {0, 5, 9}) {
            SCOPED_TRACE(std::string(program) + " k=" + std::to_string(k));
            run_options_t o;
            o.preload = {fault_library_path()};
            o.env = {{"FAULT_PTHREAD_CREATE", std::to_string(k + 1)}};
            run_result_t r = run_program(program, o);
            ASSERT_TRUE(r.exited);
            EXPECT_EQ(r.status, 255);
            EXPECT_EQ(without_start(r.out),
                      creation_lines(k + 1) + "Error:unable to create thread,11\n");
            bool traced = std::string(program) == "png_fanout_traced";
            EXPECT_EQ(count_lines(r.out, "start"), traced ? k : 0);
            if (k > 0)
                expect_gradient_file(png_path(r.dir));
            else
                EXPECT_FALSE(file_exists(png_path(r.dir)));
        }
    }
}

// A hand-over whose maker thread cannot start, or whose maker makes nothing: each worker says
// why, writes nothing and ends, whatever orders the hand-over; the process ends with status 0.
TEST(PngFanout, HandOverWithoutItsMakerLeavesAnEmptyFile) {
    const std::pair<const char *, const char *> faults[] = {
        {"FAULT_PTHREAD_CREATE_OFF_MAIN",
         "gradient.png: cannot start the thread that makes the PNG structures: Resource "
         "temporarily unavailable"},
        {"FAULT_png_create_write_struct", "gradient.png: cannot create the PNG write structure"}};
    for (const char *program : {"png_fanout_handover", "png_fanout_fence"})
        for (const auto &[fault, line] : faults) {
            SCOPED_TRACE(std::string(program) + " " + fault);
            run_options_t o;
            o.preload = {fault_library_path()};
            o.env = {{fault, "all"}};
            run_result_t r = run_program(program, o);
            ASSERT_TRUE(r.exited) << r.err;
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, creation_lines(10));
            EXPECT_EQ(count_lines(r.err, line), 10) << r.err;
            EXPECT_EQ(read_file(png_path(r.dir)), "");
        }
}

// Every row allocation fails (a row is 300 bytes): libpng's default handler reports each
// worker's error on stderr and jumps back; the rows table is released on that path (a
// sanitizer build would report a leak and change the status), and the process still ends
// with status 0, leaving the file that fopen created empty.
TEST(PngFanout, FailedRowAllocationIsReportedByLibpng) {
    std::string out_of_memory;
    for (int i = 0; i < 10; ++i)
        out_of_memory += "libpng error: Out of memory\n";
    for (const char *program : {"png_fanout_traced", "png_fanout"}) {
        SCOPED_TRACE(program);
        run_options_t o;
        o.preload = {fault_library_path()};
        o.env = {{"FAULT_MALLOC_BYTES", "300"}, {"FAULT_MALLOC", "all"}};
        run_result_t r = run_program(program, o);
        ASSERT_TRUE(r.exited) << r.err;
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(without_start(r.out), creation_lines(10));
        EXPECT_EQ(lines_with_prefix(r.err, "libpng"), out_of_memory) << r.err;
        // A sanitizer's leak report would name itself (its list of suppressions used may come).
        EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
        EXPECT_TRUE(file_exists(png_path(r.dir)));
        EXPECT_EQ(read_file(png_path(r.dir)), "");
    }
}

// No write structure: each worker closes the file it opened and ends; nothing is written, no
// crash, status 0.
TEST(PngFanout, FailedWriteStructCreationLeavesAnEmptyFile) {
    for (const char *program : {"png_fanout_traced", "png_fanout"}) {
        SCOPED_TRACE(program);
        run_options_t o;
        o.preload = {fault_library_path()};
        o.env = {{"FAULT_png_create_write_struct", "all"}};
        run_result_t r = run_program(program, o);
        ASSERT_TRUE(r.exited) << r.err;
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(without_start(r.out), creation_lines(10));
        bool traced = std::string(program) == "png_fanout_traced";
        EXPECT_EQ(count_lines(r.out, "start"), traced ? 10 : 0);
        EXPECT_EQ(count_lines(r.err, "gradient.png: cannot create the PNG write structure"), 10)
            << r.err;
        EXPECT_EQ(count_lines(r.err, "gradient.png: cannot create the PNG write structure"), 10)
            << r.err;
        EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
        EXPECT_TRUE(file_exists(png_path(r.dir)));
        EXPECT_EQ(read_file(png_path(r.dir)), "");
    }
}
