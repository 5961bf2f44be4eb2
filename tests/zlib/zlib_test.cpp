#include "expect_lines.h"
#include "run_program.h"

#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <zlib.h>

static const std::string text = contract::zlib_text;

// The bytes that deflate at level 9 makes of the text and its zero byte, computed here.
static std::string deflated_text() {
    unsigned char buf[100];
    uLongf len = sizeof buf;
    EXPECT_EQ(compress2(buf, &len, reinterpret_cast<const Bytef *>(text.c_str()), text.size() + 1,
                        Z_BEST_COMPRESSION),
              Z_OK);
    return std::string(reinterpret_cast<char *>(buf), len);
}

static std::string head() {
    return "Uncompressed size is: " + std::to_string(text.size()) +
           "\nUncompressed string is: " + text + "\n\n----------\n\n";
}

static std::string expected_report(const std::string &open, const std::string &close) {
    std::string z = deflated_text();
    return head() + open + "\n" + close + "\nCompressed size is: " + std::to_string(z.size()) +
           "\nCompressed string is: " + z.substr(0, z.find('\0')) + "\n\n----------\n\n" +
           "Uncompressed size is: " + std::to_string(text.size()) +
           "\nUncompressed string is: " + text + "\n";
}

struct variant_t {
    const char *program, *open, *close;
};
static const variant_t variants[] = {
    {"zlib_roundtrip_locked", contract::serialized_open, contract::serialized_close},
    {"zlib_roundtrip_unlocked", contract::unserialized_open, contract::unserialized_close}};

TEST(ZlibRoundTrip, WholeReportByteForByte) {
    for (const auto &v : variants) {
        SCOPED_TRACE(v.program);
        run_result_t r = run_program(v.program);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, expected_report(v.open, v.close));
        EXPECT_EQ(r.err, "");
    }
}

// Each zlib call forced to fail: one line on standard error naming the call (at its own line
// of the source) and its status, status 1, and nothing printed from the buffer it should have
// filled.
TEST(ZlibRoundTrip, FailedZlibCallIsReportedAndEndsWithStatus1) {
    struct fault_t {
        const char *var, *call;
        int status;
        bool after_deflate;
    };
    const fault_t faults[] = {
        {"FAULT_deflateInit_", "deflateInit(&defstream, Z_BEST_COMPRESSION)", Z_MEM_ERROR, false},
        {"FAULT_deflate", "deflate(&defstream, Z_FINISH)", Z_STREAM_ERROR, false},
        {"FAULT_inflateInit_", "inflateInit(&infstream)", Z_MEM_ERROR, true},
        {"FAULT_inflate", "inflate(&infstream, Z_NO_FLUSH)", Z_STREAM_ERROR, true},
    };
    for (const auto &v : variants) {
        for (const auto &f : faults) {
            SCOPED_TRACE(std::string(v.program) + " " + f.var);
            run_options_t o;
            o.preload = {fault_library_path()};
            o.env = {{f.var, "1"}};
            run_result_t r = run_program(v.program, o);
            ASSERT_TRUE(r.exited);
            EXPECT_EQ(r.status, 1);
            EXPECT_TRUE(is_bad_status_report(r.err, ZLIB_SOURCE, f.call, f.status));
            // Output stops right after the work of the failing stage's marker section.
            std::string expected = head() + v.open + "\n";
            if (f.after_deflate) {
                std::string full = expected_report(v.open, v.close);
                expected = full.substr(0, full.rfind("Uncompressed size is:"));
            }
            EXPECT_EQ(r.out, expected);
        }
    }
}

// An inflate that reports success but spoils the text trips the final check, which stays in
// under NDEBUG: the standard assertion report and an abort.
TEST(ZlibRoundTrip, MismatchTripsTheCheckInEveryBuildType) {
    for (const auto &v : variants) {
        SCOPED_TRACE(v.program);
        run_options_t o;
        o.preload = {CORRUPT_INFLATE};
        run_result_t r = run_program(v.program, o);
        EXPECT_FALSE(r.exited);
        EXPECT_EQ(r.signal, SIGABRT);
        // The library turns the text's last character, '!', into '?'.
        EXPECT_NE(r.out.find("Uncompressed string is: " + text.substr(0, text.size() - 1) + "?\n"),
                  std::string::npos);
        const long line =
            number_between(r.err, std::string(v.program) + ": example_zlib2.cpp:",
                           ": int main(int, char**): Assertion `strcmp(a,c)==0' failed.\n");
        ASSERT_GT(line, 0) << r.err;
        EXPECT_NE(source_line(ZLIB_SOURCE, static_cast<int>(line)).find("CHECK(strcmp(a,c)==0)"),
                  std::string::npos);
    }
}

// The twins that start a second thread end with status 1 and say so when it cannot start: the
// masked twin before it prints anything, the racy ones after the compression.
TEST(ZlibRoundTrip, FailedHelperThreadStartEndsWithStatus1) {
    const std::pair<const char *, const char *> twins[] = {
        {"zlib_roundtrip_masked", ": cannot start the noter thread: "},
        {"zlib_roundtrip_racy_static", ": cannot start the watcher thread: "}};
    for (const auto &[program, message] : twins) {
        SCOPED_TRACE(program);
        run_options_t o;
        o.preload = {fault_library_path()};
        o.env = {{"FAULT_PTHREAD_CREATE", "1"}};
        run_result_t r = run_program(program, o);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind(std::string(program) + message, 0), 0u) << r.err;
        EXPECT_EQ(r.out.find("Uncompressed string is: " + text + "\n", head().size()),
                  std::string::npos)
            << "no inflated text";
    }
}
