#include "contract.h"
#include "expect_lines.h"
#include "picture.h"
#include "run_program.h"

#include <gtest/gtest.h>

// The workers' lines: standard output without the launcher's creation lines.
static std::vector<std::string> worker_lines(const std::string &out) {
    std::vector<std::string> lines;
    for (const auto &l : split_lines(out))
        if (l.rfind(creation_prefix, 0) != 0)
            lines.push_back(l);
    return lines;
}

static run_result_t crop(const std::string &input) {
    run_options_t o;
    o.files = {{contract::crop_input, input}};
    return run_program("image_crop_locked", o);
}

// Every worker reads, crops and writes: ten lock/unlock pairs, no exception, and "logo.png"
// holds columns and rows 100 to 199 of the input, or the part of them that a smaller picture
// has. The shipped sample is one of the inputs.
TEST(ImageCrop, CropsTheRegionAtOneHundredOneHundred) {
    std::string sample = read_file(std::string(CORPUS_SAMPLES_DIR) + "/samp.png");
    picture_t sample_picture;
    ASSERT_TRUE(decode_png(sample, sample_picture));
    EXPECT_GE(sample_picture.width, 200);
    EXPECT_GE(sample_picture.height, 200);
    struct crop_case_t {
        const char *name;
        std::string input;
        int width, height; // of "logo.png"
    };
    const crop_case_t cases[] = {
        {"covering picture", encode_png(pattern_picture(230, 250)), 100, 100},
        {"partly covered picture", encode_png(pattern_picture(150, 170)), 50, 70},
        {"shipped sample", sample, 100, 100},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        picture_t input;
        ASSERT_TRUE(decode_png(c.input, input));
        run_result_t r = crop(c.input);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(lines_with_prefix(r.out, creation_prefix), creation_lines(10));
        EXPECT_EQ(count_lines(r.out, contract::serialized_open), 10);
        EXPECT_EQ(count_lines(r.out, contract::serialized_close), 10);
        EXPECT_EQ(worker_lines(r.out).size(), 20u) << r.out;
        picture_t logo;
        ASSERT_TRUE(decode_png(read_file(r.dir + "/" + contract::crop_output), logo));
        EXPECT_EQ(logo.width, c.width);
        EXPECT_EQ(logo.height, c.height);
        EXPECT_TRUE(logo.rgb == crop_picture(input, contract::crop_x, contract::crop_y,
                                             contract::crop_width, contract::crop_height)
                                    .rgb);
    }
}

// Without the lock the ten workers crop at once, each into a file of its own; a failing one
// still reports its exception between its markers, and no file of its name appears.
TEST(ImageCrop, UnlockedWorkersEachWriteACropOfTheirOwn) {
    const std::string input = encode_png(pattern_picture(230, 250));
    picture_t in;
    ASSERT_TRUE(decode_png(input, in));
    const auto want = crop_picture(in, contract::crop_x, contract::crop_y, contract::crop_width,
                                   contract::crop_height);
    run_options_t o;
    o.files = {{contract::crop_input, input}};
    run_result_t r = run_program("image_crop_unlocked", o);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count_lines(r.out, contract::unserialized_open), 10);
    EXPECT_EQ(count_lines(r.out, contract::unserialized_close), 10);
    EXPECT_FALSE(file_exists(r.dir + "/" + contract::crop_output));
    for (int k = 0; k < 10; ++k) {
        picture_t logo;
        const std::string name = contract::crop_output_stem + std::to_string(k) + ".png";
        ASSERT_TRUE(decode_png(read_file(r.dir + "/" + name), logo)) << name;
        EXPECT_TRUE(logo.rgb == want.rgb) << name;
    }
    o.files = {{contract::crop_input, "this is no PNG file\n"}};
    r = run_program("image_crop_unlocked", o);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count_prefixed(r.out, "Caught exception: "), 10) << r.out;
    EXPECT_EQ(count_lines(r.out, contract::unserialized_close), 0);
    EXPECT_FALSE(file_exists(r.dir + "/" + contract::crop_output_stem + "0.png"));
}

// Failures inside the guarded block: each worker prints "lock", then its exception report
// while still holding `lock`, so the two alternate strictly; no "unlock", no "logo.png", and
// the process still ends with status 0.
TEST(ImageCrop, LibraryFailuresAreCaughtUnderTheLock) {
    struct failure_t {
        const char *name;
        bool with_input;
        std::string input;
        const char *report; // a part of the library's message that names the cause
    };
    const failure_t cases[] = {
        {"no input", false, "", contract::crop_input},
        {"not a picture", true, "this is no PNG file\n", contract::crop_input},
        // The library reports a rectangle that misses the picture with a warning.
        {"rectangle misses the picture", true, encode_png(pattern_picture(80, 80)),
         "geometry does not contain image"},
        {"rectangle starts on the edge", true, encode_png(pattern_picture(100, 300)),
         "geometry does not contain image"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        run_options_t o;
        if (c.with_input)
            o.files = {{contract::crop_input, c.input}};
        run_result_t r = run_program("image_crop_locked", o);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(lines_with_prefix(r.out, creation_prefix), creation_lines(10));
        std::vector<std::string> lines = worker_lines(r.out);
        ASSERT_EQ(lines.size(), 20u) << r.out;
        for (size_t i = 0; i < lines.size(); i += 2) {
            EXPECT_EQ(lines[i], contract::serialized_open);
            EXPECT_EQ(lines[i + 1].rfind("Caught exception: ", 0), 0u) << lines[i + 1];
            EXPECT_NE(lines[i + 1].find(c.report), std::string::npos) << lines[i + 1];
        }
        EXPECT_FALSE(file_exists(r.dir + "/" + contract::crop_output));
    }
}

// A failed thread start at index k: k+1 creation lines, the error line, status 255, and the
// k workers already started finish their crop first.
TEST(ImageCrop, FailedThreadStartEndsWith255) {
    std::string input = encode_png(pattern_picture(220, 220));
    for (int k : {0, 4, 9}) {
        SCOPED_TRACE(k);
        run_options_t o;
        o.files = {{contract::crop_input, input}};
        o.preload = {fault_library_path()};
        o.env = {{"FAULT_PTHREAD_CREATE", std::to_string(k + 1)}};
        run_result_t r = run_program("image_crop_locked", o);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(count_prefixed(r.out, creation_prefix), k + 1);
        EXPECT_EQ(count_lines(r.out, "Error:unable to create thread,11"), 1);
        EXPECT_EQ(count_lines(r.out, contract::serialized_open), k);
        EXPECT_EQ(count_lines(r.out, contract::serialized_close), k);
        EXPECT_EQ(file_exists(r.dir + "/" + contract::crop_output), k > 0);
    }
}
