#include "expect_lines.h"
#include "run_program.h"

#include <gtest/gtest.h>
#include <zlib.h>

static const std::string verse = contract::gzip_verse;

// Inflates the one gzip member that starts at `pos` of `data`. Returns false when there is no
// complete member there; otherwise sets `text` and `size` (the member's length in bytes).
static bool inflate_member(const std::string &data, size_t pos, std::string &text, size_t &size) {
    z_stream s = {};
    if (inflateInit2(&s, 15 + 16) != Z_OK)
        return false;
    s.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data() + pos));
    s.avail_in = static_cast<uInt>(data.size() - pos);
    text.clear();
    int status;
    do {
        unsigned char buf[256];
        s.next_out = buf;
        s.avail_out = sizeof buf;
        status = inflate(&s, Z_NO_FLUSH);
        text.append(reinterpret_cast<char *>(buf), sizeof buf - s.avail_out);
    } while (status == Z_OK);
    size = s.total_in;
    inflateEnd(&s);
    return status == Z_STREAM_END;
}

// Splits standard output into its cycles: each cycle is the worker's two marker lines
// followed by one gzip member, which must hold exactly the verse. Returns the members; `tail`
// gets what follows the last complete cycle.
static std::vector<std::string> split_cycles(const std::string &out, const std::string &markers,
                                             std::string &tail) {
    std::vector<std::string> members;
    size_t pos = 0;
    std::string text;
    size_t size;
    while (out.compare(pos, markers.size(), markers) == 0 &&
           inflate_member(out, pos + markers.size(), text, size)) {
        EXPECT_EQ(text, verse);
        members.push_back(out.substr(pos + markers.size(), size));
        pos += markers.size() + size;
    }
    tail = out.substr(pos);
    return members;
}

struct variant_t {
    const char *program, *open, *close;
};
static const variant_t variants[] = {
    {"gzip_stream_unlocked", contract::unserialized_open, contract::unserialized_close},
    {"gzip_stream_locked", contract::serialized_open, contract::serialized_close}};

static std::string markers(const variant_t &v) {
    return std::string(v.open) + "\n" + v.close + "\n";
}

// Both variants write ten cycles of markers and one complete member each, the same members.
TEST(GzipStream, TenCyclesOfMarkersAndMembers) {
    std::vector<std::string> first;
    for (const auto &v : variants) {
        SCOPED_TRACE(v.program);
        run_result_t r = run_program(v.program);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        std::string tail;
        std::vector<std::string> members = split_cycles(r.out, markers(v), tail);
        EXPECT_EQ(members.size(), size_t(contract::gzip_cycles));
        EXPECT_EQ(tail, "");
        for (const auto &m : members)
            EXPECT_EQ(m.substr(0, 2), "\x1f\x8b");
        if (first.empty())
            first = members;
        else
            EXPECT_EQ(members, first);
    }
}

// A failure in cycle k (1-based) after k-1 good cycles: the complete members of those cycles,
// then `partial` (what the failing cycle printed), one line on standard error, status 1.
static void expect_failure_in_cycle(const variant_t &v, const char *var, int k,
                                    const std::string &partial, const std::string &call,
                                    int status) {
    SCOPED_TRACE(std::string(v.program) + " " + var + "=" + std::to_string(k));
    run_options_t o;
    o.preload = {fault_library_path()};
    o.env = {{var, std::to_string(k)}};
    run_result_t r = run_program(v.program, o);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 1);
    std::string tail;
    EXPECT_EQ(split_cycles(r.out, markers(v), tail).size(), static_cast<size_t>(k - 1));
    EXPECT_EQ(tail, partial);
    EXPECT_TRUE(is_bad_status_report(r.err, GZIP_SOURCE, call, status));
}

TEST(GzipStream, FailedInitialisationEndsBeforeTheClosingMarker) {
    for (const auto &v : variants)
        for (int k : {1, 4, 10})
            expect_failure_in_cycle(v, "FAULT_deflateInit2_", k, std::string(v.open) + "\n",
                                    "deflateInit2 (stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, "
                                    "windowBits | GZIP_ENCODING, 8, Z_DEFAULT_STRATEGY)",
                                    Z_MEM_ERROR);
}

TEST(GzipStream, FailedCompressionWritesNoPartialMember) {
    for (const auto &v : variants)
        for (int k : {1, 7})
            expect_failure_in_cycle(v, "FAULT_deflate", k, markers(v), "deflate (& strm, Z_FINISH)",
                                    Z_STREAM_ERROR);
}

// A worker that cannot be started: nothing of its cycle is printed and the stream is left
// alone (EAGAIN is 11).
TEST(GzipStream, FailedThreadStartIsReported) {
    for (const auto &v : variants)
        for (int k : {1, 6})
            expect_failure_in_cycle(v, "FAULT_PTHREAD_CREATE", k, "",
                                    "pthread_create(&worker, nullptr, init_stream_worker, &strm)",
                                    11);
}
