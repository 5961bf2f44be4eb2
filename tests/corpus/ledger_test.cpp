// The findings ledger: how an entry judges a library report, the ledger's own faults, and a
// library race that the scorecard counts as found or missed as the library changes.
#include "ledger.h"
#include "run_program.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

// One entry: a write in `fn` of libx.so.1 against a read in `other` of the same library.
static std::string entry(const std::string &fn, const std::string &other,
                         const std::string &verdict = "race",
                         const std::string &evidence = "upstream issue 1") {
    return R"({"id": "x-counter", "library": "x", "memory": "a counter", "accesses": [
        {"object": "libx.so.1", "function": ")" +
           fn + R"(", "kind": "write"},
        {"object": "libx.so.1", "function": ")" +
           other + R"(", "kind": "read"}],
        "verdict": ")" +
           verdict + R"(", "evidence": ")" + evidence + R"("})";
}

static frame_t in_x(const std::string &fn) {
    return {fn, "", "/usr/lib/libx.so.1.2.3", 0};
}

TEST(Ledger, AnEntryJudgesTheTopsOfTheStacks) {
    const ledger_t l = parse_ledger(R"({"findings": [)" + entry("bump", "std::read_all") + "]}");
    const frame_t malloc_frame{"malloc", "", "/usr/libexec/valgrind/vgpreload_helgrind.so", 0};
    // The top past the detector's frames; an unnamed top (a stripped library's static
    // function) stands for the first named frame of its object below it; a C++ name is
    // matched without its return type, template arguments and parameters.
    report_t r;
    r.kind = "Race";
    r.access_stacks = {{malloc_frame, in_x(""), in_x("bump"), {"main", "", "/bin/prog", 0}},
                       {in_x("std::vector<int>& std::read_all<int>(int)")}};
    ASSERT_NE(judge_report(r, l), nullptr);
    // GCC's clones of a function are that function.
    r.access_stacks[0] = {in_x("bump.constprop.0")};
    ASSERT_NE(judge_report(r, l), nullptr);
    EXPECT_EQ(judge_report(r, l)->id, "x-counter");
    // A named frame below the top is not the access: the function must be on top.
    r.access_stacks[0] = {in_x("step"), in_x("bump")};
    EXPECT_EQ(judge_report(r, l), nullptr);
    // The same function in another object is not the library's.
    r.access_stacks[0] = {{"bump", "", "/usr/lib/liby.so.1", 0}};
    EXPECT_EQ(judge_report(r, l), nullptr);
    // A report with one stack (drd's) is judged by that side alone.
    report_t one;
    one.kind = "ConflictingAccess";
    one.access_stacks = {{in_x("bump")}};
    EXPECT_NE(judge_report(one, l), nullptr);
    // Only the kinds an entry names (by default a data race as each tool calls it).
    one.kind = "InvalidRead";
    EXPECT_EQ(judge_report(one, l), nullptr);
}

TEST(Ledger, AnEntryAppliesToTheVersionsItNames) {
    finding_t f;
    f.package = "expat";
    f.from = "2.5.0-1+deb12u2";
    EXPECT_TRUE(finding_applies(f, {{"expat", "2.5.0-1+deb12u5"}}));
    EXPECT_FALSE(finding_applies(f, {{"expat", "2.5.0-1+deb12u1"}}));
    EXPECT_FALSE(finding_applies(f, {{"zlib", "2.5.0-1+deb12u5"}})); // not installed
    f.before = "2.5.0-1+deb12u5";
    EXPECT_FALSE(finding_applies(f, {{"expat", "2.5.0-1+deb12u5"}}));
    EXPECT_TRUE(finding_applies(f, {{"expat", "2.5.0-1+deb12u4"}}));
    f.package.clear(); // a library of no package: always
    EXPECT_TRUE(finding_applies(f, {}));
}

TEST(Ledger, ThreadSanitizerFramesOfObjectsWithPlusInTheirNames) {
    // "libstdc++.so.6+0x..." names libstdc++.so.6, not "libstdc".
    const std::string log = R"(WARNING: ThreadSanitizer: data race (pid=1)
  Write of size 1 at 0x7b0400000000 by thread T2:
    #0 memcpy ../../../../src/libsanitizer/sanitizer_common/sanitizer_common_interceptors.inc:827 (libtsan.so.2+0x6243e)
    #1 std::__cxx11::basic_string<char>::copy(char*, unsigned long, unsigned long) const <null> (libstdc++.so.6+0x14d5a6)

  Previous write of size 1 at 0x7b0400000000 by thread T1:
    #0 Magick::Options::fileName(std::string const&) <null> (libMagick++-6.Q16.so.8+0x7c0a1) (BuildId: 0a1b)
)";
    auto reports = parse_tsan_log(log, {"/src", "/bin/prog", ""});
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].access_stacks[0][1].object, "libstdc++.so.6");
    const ledger_t l = parse_ledger(R"({"findings": [{"id": "shared-name", "library": "m",
        "memory": "m", "verdict": "race", "evidence": "e", "accesses": [
          {"object": "libstdc++.so.6", "function": "std::__cxx11::basic_string::copy", "kind": "write"},
          {"object": "libMagick++-6.Q16.so.8", "function": "Magick::Options::fileName", "kind": "write"}]}]})");
    EXPECT_NE(judge_report(reports[0], l), nullptr) << reports[0].key;
}

TEST(Ledger, FaultyEntriesAreRefusedWithTheirId) {
    auto fails = [](const std::string &e, const std::string &why) {
        try {
            parse_ledger(R"({"findings": [)" + e + "]}");
            ADD_FAILURE() << "accepted: " << e;
        } catch (const std::exception &ex) {
            EXPECT_NE(std::string(ex.what()).find("x-counter"), std::string::npos) << ex.what();
            EXPECT_NE(std::string(ex.what()).find(why), std::string::npos) << ex.what();
        }
    };
    fails(entry("a", "b", "maybe"), "verdict");
    fails(entry("a", "b", "race", ""), "evidence");
    fails(entry("a", "b") + "," + entry("c", "d"), "twice");
    fails(R"({"id": "x-counter", "library": "x", "memory": "m", "verdict": "race",
              "evidence": "e", "accesses": [{"object": "libx.so.1", "kind": "write"}]})",
          "two accesses");
}

TEST(Ledger, ALibraryRaceIsFoundWhereTheLibraryHasItAndMissedWhereNot) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "valgrind cannot run beside a sanitizer build";
#endif
    if (!file_exists("/usr/bin/valgrind"))
        GTEST_SKIP() << "needs valgrind";
    // The same race-free program on a stand-in library that bumps a global counter in every
    // parse, and on one built without that write (as a fixed expat): the ledger's entry is
    // a race found by helgrind with the first and missed with the second, and the program is
    // no false positive either way.
    run_options_t o;
    o.timeout_seconds = 300;
    o.files["m.json"] = R"({"programs": [{"program": "standin_user", "executable": "standin_user",
        "check": {"kind": "exit", "status": 0}, "race": null}]})";
    o.files["l.json"] = R"({"findings": [{"id": "standin-counter", "library": "stand-in",
        "memory": "standin_parse_attempts", "accesses": [
          {"object": "libstandin.so", "function": "standin_parse", "kind": "write"},
          {"object": "libstandin.so", "function": "standin_parse", "kind": "write"}],
        "verdict": "race", "evidence": "the stand-in's source", "programs": ["standin_user"]}]})";
    o.args = {"-c",
              "for v in with without; do mkdir $v && "
              "\"$1\" -g -O1 -shared -fPIC $([ $v = without ] && echo -DSTANDIN_NO_COUNTER) "
              "-o $v/libstandin.so \"$2/standin_lib.c\" && "
              "\"$1\" -g -O0 -pthread -o $v/standin_user \"$2/standin_user.c\" -L$v -lstandin "
              "-Wl,-rpath,'$ORIGIN' && "
              "\"$0\" score --tool helgrind --manifest m.json --ledger l.json "
              "--bin-for helgrind=$v --until-detected 3 --out out-$v > /dev/null || exit 1; done",
              CORPUS_RUNNER, CORPUS_C_COMPILER, CORPUS_SOURCE_DIR "/tests/corpus"};
    run_result_t r = run_program("/bin/sh", o);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const char *v : {"with", "without"}) {
        auto t =
            nlohmann::json::parse(read_file(r.dir + "/out-" + v + "/score/score.json"))["tools"][0];
        const bool with = std::string(v) == "with";
        EXPECT_EQ(t["programs"][0]["outcome"], "TN") << t.dump(1);
        EXPECT_EQ(t["programs"][0]["library_race_only"], with) << t.dump(1);
        EXPECT_EQ(t["library"]["races_found"].size(), with ? 1u : 0u) << t.dump(1);
        EXPECT_EQ(t["library"]["races_missed"].size(), with ? 0u : 1u) << t.dump(1);
        EXPECT_EQ(t["library"]["unjudged"].size(), 0u) << t.dump(1);
        // Run until the first report: the first run with the counter, all three without.
        EXPECT_EQ(t["programs"][0]["runs"], with ? 1 : 3) << t.dump(1);
        EXPECT_EQ(t["programs"][0]["runs_to_first_detection"],
                  with ? nlohmann::json(1) : nlohmann::json(nullptr));
    }
}
