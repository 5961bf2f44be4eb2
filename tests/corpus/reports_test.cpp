// Detector reports are deduplicated and split into our own code and library code.
#include "detectors.h"
#include "parse.h"
#include "score.h"

#include <gtest/gtest.h>

// The detectors' files are read before any test reads a report: they say which frames are a
// detector's runtime and how each names a data race.
namespace {
struct detectors_read_t : ::testing::Environment {
    void SetUp() override {
        detectors();
    }
};
const auto *read_first = ::testing::AddGlobalTestEnvironment(new detectors_read_t);
} // namespace

static const std::string src = "/src/corpus";

// An own-code race reported twice (two pairs of threads), a race inside GLib, and a race on
// our buffer through the memset interceptor.
static const std::string tsan_log = R"(==================
WARNING: ThreadSanitizer: data race (pid=4242)
  Write of size 4 at 0x7b0400000000 by thread T2:
    #0 parse_xml(void*) /src/corpus/xml/expat2.cpp:30 (xml_fanout_unlocked+0x1234)
    #1 <null> <null> (libtsan.so.2+0x3fb1d)

  Previous write of size 4 at 0x7b0400000000 by thread T1:
    #0 parse_xml(void*) /src/corpus/xml/expat2.cpp:30 (xml_fanout_unlocked+0x1234)

  Location is global 'depth' of size 4 at 0x7b0400000000 (xml_fanout_unlocked+0x5555)

  Thread T2 (tid=11, running) created by main thread at:
    #0 pthread_create ../../../../src/libsanitizer/tsan/tsan_interceptors_posix.cpp:969 (libtsan.so.2+0x5ad75)
    #1 launch_workers /src/corpus/fanout/fanout.cpp:25 (xml_fanout_unlocked+0x99) (BuildId: 0a1b)

SUMMARY: ThreadSanitizer: data race /src/corpus/xml/expat2.cpp:30 in parse_xml(void*)
==================
==================
WARNING: ThreadSanitizer: data race (pid=4242)
  Write of size 4 at 0x7b0400000000 by thread T4:
    #0 parse_xml(void*) /src/corpus/xml/expat2.cpp:30 (xml_fanout_unlocked+0x1234)

  Previous write of size 4 at 0x7b0400000000 by thread T3:
    #0 parse_xml(void*) /src/corpus/xml/expat2.cpp:30 (xml_fanout_unlocked+0x1234)

SUMMARY: ThreadSanitizer: data race /src/corpus/xml/expat2.cpp:30 in parse_xml(void*)
==================
==================
WARNING: ThreadSanitizer: data race (pid=4242)
  Read of size 8 at 0x7b0400000100 by thread T1:
    #0 <null> <null> (libglib-2.0.so.0+0x5e6f1)
    #1 g_main_context_iteration <null> (libglib-2.0.so.0+0x5e7a2)
    #2 my_thread(void*) /src/corpus/download/gdk1.cpp:40 (download_progress+0x77)

  Previous write of size 8 at 0x7b0400000100 by main thread:
    #0 g_main_loop_run <null> (libglib-2.0.so.0+0x5f9a1)
    #1 main /src/corpus/download/gdk1.cpp:90 (download_progress+0x66)

SUMMARY: ThreadSanitizer: data race (libglib-2.0.so.0+0x5e6f1)
==================
==================
WARNING: ThreadSanitizer: data race (pid=4243)
  Write of size 8 at 0x7b0400000200 by thread T3:
    #0 memset ../../../../src/libsanitizer/sanitizer_common/sanitizer_common_interceptors.inc:799 (libtsan.so.2+0x3c1e2)
    #1 parse_stream(_IO_FILE*, char*, unsigned long) /src/corpus/xml/parse.cpp:20:7 (xml_fanout_unlocked+0x3210) (BuildId: 0a1b)

  Previous read of size 8 at 0x7b0400000200 by thread T2:
    #0 XML_Parse <null> (libexpat.so.1+0x1111)
    #1 parse_stream(_IO_FILE*, char*, unsigned long) /src/corpus/xml/parse.cpp:22 (xml_fanout_unlocked+0x3290)

SUMMARY: ThreadSanitizer: data race /src/corpus/xml/parse.cpp:20 in parse_stream
==================
)";

TEST(TsanReports, DedupesAndSplitsOwnFromLibrary) {
    auto reports = parse_tsan_log(tsan_log, {src, "", ""});
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[0].kind, "data race");
    EXPECT_EQ(reports[0].access_stacks.size(), 2u) << "creation stacks are context, not accesses";
    EXPECT_TRUE(reports[0].own);
    EXPECT_EQ(reports[0].key, reports[1].key);
    EXPECT_FALSE(reports[2].own) << "a race inside GLib is not ours though its stack reaches main";
    EXPECT_TRUE(reports[3].own) << "memset on our buffer, called from our code";
    EXPECT_EQ(reports[3].where,
              "parse_stream(_IO_FILE*, char*, unsigned long) /src/corpus/xml/parse.cpp");

    report_summary_t s = summarize_reports(reports);
    EXPECT_EQ(s.distinct, 3);
    EXPECT_EQ(s.own, 2);
    EXPECT_EQ(s.library, 1);
}

TEST(TsanReports, InlinedLibraryTemplateActsForOurCode) {
    const std::string log = R"(WARNING: ThreadSanitizer: data race (pid=1)
  Write of size 4 at 0x1 by thread T1:
    #0 std::vector<int>::operator[](unsigned long) /usr/include/c++/12/bits/stl_vector.h:1123 (omp_hello+0x11)
    #1 worker(void*) /src/corpus/omp/hello_omp.cpp:9 (omp_hello+0x22)

  Previous write of size 4 at 0x1 by thread T2:
    #0 std::vector<int>::operator[](unsigned long) /usr/include/c++/12/bits/stl_vector.h:1123 (omp_hello+0x11)
    #1 worker(void*) /src/corpus/omp/hello_omp.cpp:9 (omp_hello+0x22)
)";
    auto reports = parse_tsan_log(log, {src, "", ""});
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports[0].own);
    // The same template in a shared library is that library's business.
    std::string in_library = log;
    for (size_t at; (at = in_library.find("(omp_hello+0x11)")) != std::string::npos;)
        in_library.replace(at, 16, "(libfoo.so.1+0x11)");
    EXPECT_FALSE(parse_tsan_log(in_library, {src, "", ""})[0].own);
}

TEST(TsanReports, ThreadLeakIsJudgedByItsCreationStack) {
    const std::string log = R"(WARNING: ThreadSanitizer: thread leak (pid=1)
  Thread T1 (tid=2, finished) created by main thread at:
    #0 pthread_create ../../../../src/libsanitizer/tsan/tsan_interceptors_posix.cpp:969 (libtsan.so.2+0x5ad75)
    #1 main /src/corpus/gzip/zow.cpp:70 (gzip_stream_unlocked+0x1)

SUMMARY: ThreadSanitizer: thread leak /src/corpus/gzip/zow.cpp:70 in main
)";
    auto reports = parse_tsan_log(log, {src, "", ""});
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].kind, "thread leak");
    EXPECT_TRUE(reports[0].own);
    EXPECT_TRUE(parse_tsan_log("nothing to report\n", {src, "", ""}).empty());
}

static std::string vg_frame(const std::string &fn, const std::string &obj, const std::string &dir,
                            const std::string &file) {
    std::string f = "<frame><ip>0x1</ip><obj>" + obj + "</obj><fn>" + fn + "</fn>";
    if (!dir.empty())
        f += "<dir>" + dir + "</dir><file>" + file + "</file><line>1</line>";
    return f + "</frame>";
}

TEST(ValgrindReports, ConflictingAccessCountsAllocationDoesNot) {
    const std::string lib_race =
        "<error><unique>0x0</unique><tid>2</tid><kind>Race</kind>"
        "<xwhat><text>Possible data race during read</text></xwhat><stack>" +
        vg_frame("std::__ostream_insert", "/usr/lib/libstdc++.so.6", "", "") +
        vg_frame("parse_xml(void*)", "/b/xml_fanout_unlocked", src + "/xml", "expat2.cpp") +
        "</stack><xauxwhat><text>This conflicts with a previous write</text></xauxwhat><stack>" +
        vg_frame("std::__ostream_insert", "/usr/lib/libstdc++.so.6", "", "") +
        vg_frame("main", "/b/xml_fanout_unlocked", src + "/xml", "expat2.cpp") +
        "</stack><auxwhat>Address is inside a block alloc'd</auxwhat><stack>" +
        vg_frame("malloc", "/usr/libexec/valgrind/vgpreload_helgrind-amd64-linux.so", "", "") +
        vg_frame("main", "/b/xml_fanout_unlocked", src + "/xml", "expat2.cpp") + "</stack></error>";
    const std::string own_race =
        "<error><unique>0x1</unique><tid>3</tid><kind>Race</kind><stack>" +
        vg_frame("g_main_loop_run", "/usr/lib/libglib-2.0.so.0", "", "") +
        "</stack>"
        "<xauxwhat><text>This conflicts with a previous write</text></xauxwhat><stack>" +
        vg_frame("memcpy", "/usr/libexec/valgrind/vgpreload_helgrind-amd64-linux.so", "", "") +
        vg_frame("my_thread(void*)", "/b/download_progress", src + "/download", "gdk1.cpp") +
        "</stack></error>";
    const std::string xml = "<?xml version=\"1.0\"?><valgrindoutput><protocolversion>4"
                            "</protocolversion>" +
                            lib_race + own_race + lib_race + "</valgrindoutput>";
    auto reports = parse_valgrind_xml(xml, {src, "", ""});
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0].kind, "Race");
    EXPECT_EQ(reports[0].access_stacks.size(), 2u);
    EXPECT_FALSE(reports[0].own);
    EXPECT_TRUE(reports[1].own);
    report_summary_t s = summarize_reports(reports);
    EXPECT_EQ(s.distinct, 2);
    EXPECT_EQ(s.own, 1);
    EXPECT_EQ(s.library, 1);
    // A file cut short by a killed run keeps the errors read so far.
    EXPECT_EQ(parse_valgrind_xml(xml.substr(0, xml.size() - 40), {src, "", ""}).size(), 2u);
}

TEST(Reports, FrameWithoutSourceIsOursWhenInTheProgram) {
    // A build without debug information: no file, only the module.
    const std::string log = R"(WARNING: ThreadSanitizer: data race (pid=1)
  Write of size 4 at 0x1 by thread T2:
    #0 <null> <null> (race_probe+0x11d8)

  Previous write of size 4 at 0x1 by thread T1:
    #0 <null> <null> (race_probe+0x11d8)
)";
    EXPECT_TRUE(parse_tsan_log(log, {src, "/b/bin/race_probe", ""})[0].own);
    EXPECT_FALSE(parse_tsan_log(log, {src, "/b/bin/other", ""})[0].own);
    EXPECT_FALSE(parse_tsan_log(log, {src, "", ""})[0].own)
        << "no program given: nothing to compare";
    std::string in_library = log;
    for (size_t at; (at = in_library.find("(race_probe+")) != std::string::npos;)
        in_library.replace(at, 12, "(libfoo.so.1+");
    EXPECT_FALSE(parse_tsan_log(in_library, {src, "/b/bin/race_probe", ""})[0].own);
    // The object decides before the source path: code of the program built from another
    // checkout, or with rewritten or relative debug paths, is still ours...
    for (const char *path : {"/other/checkout/probe.c:9", "probe.c:9", "./x/probe.c:9"}) {
        std::string elsewhere = log;
        for (size_t at; (at = elsewhere.find("<null> <null>")) != std::string::npos;)
            elsewhere.replace(at, 13, std::string("bump ") + path);
        EXPECT_TRUE(parse_tsan_log(elsewhere, {src, "/b/bin/race_probe", ""})[0].own) << path;
    }
    // ...and so is a shared library of this build; a library elsewhere is not, whatever its
    // debug paths say.
    std::string lib = in_library;
    for (size_t at; (at = lib.find("(libfoo.so.1+")) != std::string::npos;)
        lib.replace(at, 13, "(/b/lib/libours.so+");
    EXPECT_TRUE(parse_tsan_log(lib, {src, "/b/bin/race_probe", "/b/lib"})[0].own);
    std::string in_tree = in_library;
    for (size_t at; (at = in_tree.find("<null> <null>")) != std::string::npos;)
        in_tree.replace(at, 13, "f /src/corpus/x.c:1");
    EXPECT_FALSE(parse_tsan_log(in_tree, {src, "/b/bin/race_probe", "/b/lib"})[0].own);

    // valgrind names the object by its path.
    const std::string xml = "<valgrindoutput><error><kind>Race</kind><stack>" +
                            vg_frame("bump", "/b/bin/race_probe", "", "") +
                            "</stack></error></valgrindoutput>";
    auto own = parse_valgrind_xml(xml, {src, "/b/bin/race_probe", ""});
    ASSERT_EQ(own.size(), 1u);
    EXPECT_TRUE(own[0].own);
    EXPECT_EQ(own[0].where, "bump /b/bin/race_probe");
    EXPECT_FALSE(parse_valgrind_xml(xml, {src, "/elsewhere/race_probe", ""})[0].own)
        << "same file name, another executable";
}

TEST(Reports, OnlyTheExactAllocatorNamesAreTransparent) {
    // freeaddrinfo and freopen are library calls of their own, not free.
    auto top = [](const std::string &fn) {
        report_t r;
        r.kind = "Race";
        r.access_stacks = {
            {{fn, "", "/usr/lib/libc.so.6"}, {"main", "/src/corpus/x/main.cpp", "/b/x"}}};
        classify_report(r, {src, "", ""});
        return r;
    };
    EXPECT_FALSE(top("freeaddrinfo").own);
    EXPECT_FALSE(top("freopen").own);
    EXPECT_FALSE(top("mallinfo2").own);
    EXPECT_TRUE(top("free").own);
    EXPECT_TRUE(top("malloc").own);
    EXPECT_TRUE(top("operator delete(void*, unsigned long)").own);
    EXPECT_TRUE(top("memcpy").own);
}

TEST(Reports, InterceptorsLinkedIntoTheProgramActForTheirCaller) {
    // clang's ThreadSanitizer runtime lies in the program: its interceptors are frames of the
    // program without a file, and the report is about whoever called them.
    auto called_from = [](const std::string &fn, const frame_t &caller) {
        report_t r;
        r.kind = "data race";
        r.access_stacks = {{{fn, "", "/b/bin/probe"}, caller}};
        classify_report(r, {src, "/b/bin/probe", ""});
        return r.own;
    };
    const frame_t library{"ReadImage", "", "/usr/lib/libMagickCore-6.Q16.so.6"};
    const frame_t ours{"main", "/src/corpus/x/main.cpp", "/b/bin/probe", 3};
    for (const char *fn : {"memcpy", "strcasecmp", "gmtime"}) {
        EXPECT_FALSE(called_from(fn, library)) << fn;
        EXPECT_TRUE(called_from(fn, ours)) << fn;
    }
    EXPECT_TRUE(called_from("bump", library)) << "our own callback, built without -g";
}

TEST(Reports, ValgrindXmlMustBeFinished) {
    const std::string whole = "<?xml version=\"1.0\"?>\n<valgrindoutput>\n<status>x</status>\n"
                              "</valgrindoutput>\n\n";
    EXPECT_TRUE(valgrind_xml_finished(whole));
    EXPECT_FALSE(valgrind_xml_finished(""));
    EXPECT_FALSE(valgrind_xml_finished(whole.substr(0, whole.size() - 5)));
    EXPECT_FALSE(valgrind_xml_finished(whole + "<error>"));
}

// A race wholly inside an instrumented zlib: its frames carry zlib's lines, yet a label inside a
// library names functions only, and is matched by them in the objects it names (a library, and
// our program for the frame that makes the library call).
TEST(Reports, LibraryLabelsMatchByObjectAndFunctionWhereFramesCarryLines) {
    const std::string log = R"(==================
WARNING: ThreadSanitizer: data race (pid=7)
  Read of size 8 at 0x7b0400000300 by main thread:
    #0 deflateStateCheck /build/zlib/deflate.c:240 (libz.so.1+0x6a12)
    #1 deflate /build/zlib/deflate.c:778 (libz.so.1+0x7b03)
    #2 main /src/corpus/gzip/zow.cpp:98 (gzip_stream_handover+0x1e4)

  Previous write of size 8 at 0x7b0400000300 by thread T1:
    #0 <null> <null> (libz.so.1+0x5c41)
    #1 run_maker(void*) /src/corpus/fanout/handover.cpp:24 (gzip_stream_handover+0x1a0)

SUMMARY: ThreadSanitizer: data race /build/zlib/deflate.c:240 in deflateStateCheck
==================
)";
    auto reports = parse_tsan_log(log, {src, "gzip_stream_handover", ""});
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_FALSE(reports[0].own);
    auto access = [](std::vector<std::string> objects, std::vector<std::string> functions) {
        race_access_t a;
        a.objects = objects;
        a.functions = functions;
        a.kind = "read";
        return a;
    };
    const race_access_t use = access({"libz.so.1"}, {"deflate", "deflateEnd"});
    race_label_t label{"stream", {access({"libz.so.1"}, {"deflateInit2_"}), use}};
    EXPECT_EQ(match_label(reports[0], label), label_match_t::none); // the maker's frame is unnamed
    label.accesses[0] =
        access({"libz.so.1", "gzip_stream_handover"}, {"deflateInit2_", "run_maker"});
    EXPECT_EQ(match_label(reports[0], label), label_match_t::by_function);
    label.accesses[0] = access({"libpng16.so.16"}, {"run_maker"}); // the right name, elsewhere
    EXPECT_EQ(match_label(reports[0], label), label_match_t::none);
}

// A report whose tool lost the earlier access's stack shows the label by its other side, as a
// report of one stack does; a lock-order report shows no data race's label.
TEST(Reports, ALostEarlierStackLeavesTheLabelsOtherSide) {
    const std::string log = R"(==================
WARNING: ThreadSanitizer: data race (pid=1)
  Read of size 4 at 0x1000 by main thread:
    #0 read_note /src/corpus/gzip/zow.cpp:126 (p+0x2752)

  Previous write of size 4 at 0x1000 by thread T1:
    [failed to restore the stack]

SUMMARY: ThreadSanitizer: data race /src/corpus/gzip/zow.cpp:126 in read_note
==================
)";
    const auto reports = parse_tsan_log(log, {src, "", ""});
    ASSERT_EQ(reports.size(), 1u);
    race_access_t write, read;
    write.file = read.file = "gzip/zow.cpp";
    write.line = 111;
    read.line = 126;
    write.kind = "write";
    read.kind = "read";
    race_label_t label{"note", {write, read}};
    EXPECT_FALSE(report_matches_label(reports[0], label));
    EXPECT_TRUE(report_shows_label(reports[0], label));
    label.accesses[1].line = 127;
    EXPECT_FALSE(report_shows_label(reports[0], label)) << "the other side's line";
    label.accesses[1].line = 126;
    label.kind = race_kind_t::lock_order;
    EXPECT_FALSE(report_shows_label(reports[0], label));
}
