// The findings ledger: how an entry judges a library report, the ledger's own faults, and a
// library race that the scorecard counts as found or missed as the library changes.
#include "ledger.h"
#include "memory.h"
#include "parse.h"
#include "record.h"
#include "run_program.h"

#include <chrono>
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

// The ledger text is refused with a message that says `why` (and names entry `id`, if given).
static void expect_refused(const std::string &text, const std::string &why,
                           const std::string &id = "") {
    try {
        parse_ledger(text);
        ADD_FAILURE() << "accepted: " << text;
    } catch (const std::exception &e) {
        EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find(id), std::string::npos) << e.what();
    }
}

static frame_t in_x(const std::string &fn) {
    return {fn, "", "/usr/lib/libx.so.1.2.3", 0};
}

// The one entry that judges the report, or nullptr (none, or several).
static const finding_t *judged_by(const report_t &r, const ledger_t &l) {
    auto entries = judge_report(r, l);
    return entries.size() == 1 ? entries[0] : nullptr;
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
    ASSERT_NE(judged_by(r, l), nullptr);
    // GCC's clones of a function are that function.
    r.access_stacks[0] = {in_x("bump.constprop.0")};
    ASSERT_NE(judged_by(r, l), nullptr);
    EXPECT_EQ(judged_by(r, l)->id, "x-counter");
    // A named frame below the top is not the access: the function must be on top.
    r.access_stacks[0] = {in_x("step"), in_x("bump")};
    EXPECT_EQ(judged_by(r, l), nullptr);
    // The same function in another object is not the library's.
    r.access_stacks[0] = {{"bump", "", "/usr/lib/liby.so.1", 0}};
    EXPECT_EQ(judged_by(r, l), nullptr);
    // A report with one stack (drd's) is judged by that side alone.
    report_t one;
    one.kind = "ConflictingAccess";
    one.access_stacks = {{in_x("bump")}};
    EXPECT_NE(judged_by(one, l), nullptr);
    // Only the kinds an entry names (by default a data race as each tool calls it).
    one.kind = "InvalidRead";
    EXPECT_EQ(judged_by(one, l), nullptr);
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
    EXPECT_NE(judged_by(reports[0], l), nullptr) << reports[0].key;
}

// ThreadSanitizer names no memory for a free against the block's allocation: the memory is the
// block that allocation made. On a race-free twin whose construct orders that memory the report
// is the construct's false alarm; elsewhere the ledger judges it by that memory, and a place
// "unnamed" (memory no report reveals) no longer takes it.
TEST(Ledger, AFreedBlockIsKnownByItsAllocationAndAConstructJudgesItsOwnMemory) {
    const std::string log = R"(WARNING: ThreadSanitizer: data race (pid=1)
  Write of size 8 at 0x7b4800000180 by thread T1:
    #0 free <null> (prog+0x52534)
    #1 x_destroy <null> (libx.so.1+0x23085)

  Previous write of size 8 at 0x7b4800000180 by thread T3:
    #0 malloc <null> (prog+0x51f41)
    #1 x_create <null> (libx.so.1+0x6312)
    #2 run_maker(void*) /src/fanout/handover.cpp:25:5 (prog+0xd5feb)
)";
    auto reports = parse_tsan_log(log, {"/src", "/bin/prog", ""});
    ASSERT_EQ(reports.size(), 1u);
    report_t r = reports[0];
    place_report_memory(r, {});
    EXPECT_EQ(describe_memory(r.memory), "freed heap block allocated in x_create");
    EXPECT_NE(r.key.find("@heap x_create"), std::string::npos) << r.key;

    program_t twin;
    twin.name = "twin";
    twin.axis = axis_t::memory_model;
    twin.construct_memory = parse_where(nlohmann::json::parse(R"({"allocated_in": ["x_create"]})"));
    judge_library_report(r, twin, {}, false);
    EXPECT_EQ(r.judgement, judgement_t::construct_alarm);
    twin.construct_memory = parse_where(nlohmann::json::parse(R"({"allocated_in": ["y_new"]})"));
    judge_library_report(r, twin, {}, false);
    EXPECT_EQ(r.judgement, judgement_t::unjudged);
    auto ledger = [](const char *where) {
        return parse_ledger(std::string(R"({"findings": [{"id": "recycled", "library": "x",
            "memory": "m", "verdict": "false alarm", "evidence": "e", "where": )") +
                            where + R"(, "accesses": [
              {"object": "libx.so.1", "function": "x_destroy", "kind": "write"},
              {"object": "libx.so.1", "function": "x_create", "kind": "write"}]}]})");
    };
    judge_library_report(r, twin, ledger(R"({"allocated_in": ["x_create"]})"), false);
    EXPECT_EQ(r.judgement, judgement_t::false_alarm);
    judge_library_report(r, twin, ledger(R"({"unnamed": true})"), false);
    EXPECT_EQ(r.judgement, judgement_t::unjudged);
    // What results.json keeps is judged the same when read back.
    EXPECT_TRUE(memory_from_json(memory_json(r.memory)).from_allocation);
}

TEST(Ledger, FaultyEntriesAreRefusedWithTheirId) {
    auto fails = [](const std::string &e, const std::string &why) {
        expect_refused(R"({"findings": [)" + e + "]}", why, "x-counter");
    };
    fails(entry("a", "b", "maybe"), "verdict");
    fails(entry("a", "b", "race", ""), "evidence");
    fails(entry("a", "b") + "," + entry("c", "d"), "twice");
    fails(R"({"id": "x-counter", "library": "x", "memory": "m", "verdict": "race",
              "evidence": "e", "accesses": [{"object": "libx.so.1", "kind": "write"}]})",
          "two accesses");
}

TEST(Ledger, ALibraryRaceIsFoundWhereTheLibraryHasItAndMissedWhereNot) {
    SKIP_WITHOUT_VALGRIND();
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
          {"object": "libstandin.so", "function": "standin_parse", "kind": "any"}],
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

// An entry judges only the memory it names and the access kinds it names; a report that two
// entries match is judged by neither; sides that take any frame must name their memory.
TEST(Ledger, MemoryAndAccessKindsDecideAndTwoEntriesAreAmbiguous) {
    auto two = [](const std::string &where_a, const std::string &where_b) {
        return R"({"findings": [
          {"id": "a", "library": "x", "memory": "a", "where": )" +
               where_a + R"(, "verdict": "race",
           "evidence": "e", "accesses": [{"object": "libx.so.1", "function": "bump", "kind": "write"},
                                         {"object": "libx.so.1", "function": "bump", "kind": "read"}]},
          {"id": "b", "library": "x", "memory": "b", "where": )" +
               where_b + R"(,
           "verdict": "false alarm", "evidence": "e", "accesses": [
             {"object": "libx.so.1", "function": "bump", "kind": "any"},
             {"object": "libx.so.1", "function": "bump", "kind": "any"}]}]})";
    };
    const ledger_t l = parse_ledger(two(R"({"symbol": "counter"})", R"({"allocated_in": "make"})"));
    report_t r;
    r.kind = "Race";
    r.access_stacks = {{in_x("bump")}, {in_x("bump")}};
    r.access_kinds = {access_kind_t::write, access_kind_t::read};
    r.memory.kind = memory_kind_t::global;
    r.memory.symbol = "counter";
    ASSERT_NE(judged_by(r, l), nullptr);
    EXPECT_EQ(judged_by(r, l)->id, "a");
    r.access_kinds = {access_kind_t::read, access_kind_t::read}; // no write: not entry a's
    EXPECT_EQ(judged_by(r, l), nullptr);
    r.memory = {};
    r.memory.kind = memory_kind_t::heap;
    r.memory.allocated = {{"malloc", "", "libc.so.6", 0}, in_x("make"), in_x("x_new")};
    EXPECT_EQ(judged_by(r, l)->id, "b");
    r.memory.allocated = {in_x("other")};
    EXPECT_EQ(judged_by(r, l), nullptr);
    // The same memory named by both entries: the report is ambiguous, no entry's.
    const ledger_t both = parse_ledger(two(R"({"symbol": "counter"})", R"({"symbol": "counter"})"));
    r.memory = {};
    r.memory.kind = memory_kind_t::global;
    r.memory.symbol = "counter";
    r.access_kinds = {access_kind_t::write, access_kind_t::read};
    EXPECT_EQ(judge_report(r, both).size(), 2u);
    program_t p;
    judge_library_report(r, p, both, false);
    EXPECT_EQ(r.judgement, judgement_t::ambiguous);
    EXPECT_EQ(r.finding, "a, b");
    // Offsets belong to one build; a side of "?" or of objects only names its memory.
    expect_refused(two(R"({"section": ".bss", "offset": ["0x10", "0x14"]})", R"({"symbol": "c"})"),
                   "one build");
    expect_refused(
        R"({"findings": [{"id": "loose", "library": "x", "memory": "m", "verdict": "race",
        "evidence": "e", "accesses": [{"object": "libx.so.1", "kind": "write"},
                                      {"object": "libx.so.1", "function": "?", "kind": "read"}]}]})",
        "loose");
}

// What the tools say of the memory: ThreadSanitizer's location lines and valgrind's texts.
TEST(Ledger, ReportsSayWhereTheirMemoryIs) {
    memory_t g = tsan_location("Location is global '<null>' at 0x000000000000 (libx.so.1+0x2d080)");
    EXPECT_EQ(g.kind, memory_kind_t::global);
    EXPECT_EQ(g.object, "libx.so.1");
    EXPECT_EQ(g.offset, 0x2d080u);
    EXPECT_EQ(tsan_location("Location is global '?\?' at 0x7ffc0 ([stack]+0x1f8a4)").kind,
              memory_kind_t::stack);
    memory_t h;
    valgrind_location(h, "Address 0x4e5e048 is 16,792 bytes inside a block of size 16,800 alloc'd");
    EXPECT_EQ(h.kind, memory_kind_t::heap);
    EXPECT_EQ(h.block_size, 16800u);
    EXPECT_EQ(h.block_offset, 16792u);
    memory_t d;
    valgrind_location(d, "Conflicting store by thread 3 at 0x0488000c size 4");
    valgrind_location(d, "Address 0x488000c is at offset 12 from 0x4880000.");
    EXPECT_EQ(d.kind, memory_kind_t::heap);
    EXPECT_EQ(d.block_offset, 12u);
    memory_t b;
    valgrind_location(b, "Address 0x485f010 is in the BSS segment of /usr/lib/libx.so.1.2");
    EXPECT_EQ(b.kind, memory_kind_t::global);
    EXPECT_EQ(b.address, 0x485f010u);
    EXPECT_EQ(b.object, "/usr/lib/libx.so.1.2");
    // A valgrind file that stops the parser before its end is told; an unfinished one is not.
    std::string fault;
    parse_valgrind_xml("<valgrindoutput><error><kind>Race</kind></eror></valgrindoutput>", {},
                       &fault);
    EXPECT_NE(fault.find("mismatched tag"), std::string::npos) << fault;
    fault.clear();
    parse_valgrind_xml("<valgrindoutput><error><kind>Race</kind>", {}, &fault);
    EXPECT_EQ(fault, "");
    // Verbosity 2's load addresses, without valgrind's own tool.
    const auto objects =
        valgrind_loaded_objects("--1-- Reading syms from /usr/libexec/valgrind/drd-amd64-linux\n"
                                "--1--    svma 0x0058000000, avma 0x0058000000\n"
                                "--1-- Reading syms from /nowhere/libx.so.1.2\n"
                                "--1--    svma 0x0000001040, avma 0x000485c040\n");
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(objects[0].base, 0x485b000u);
}

// The stand-in library's one function writes a racy global and a global under a spinlock that
// helgrind does not see: the ledger tells the two reports apart by their memory alone, by
// symbol with the library's symbols and by offset without them.
TEST(Ledger, TheSameFramesOnOtherMemoryTakeTheirOwnVerdict) {
    SKIP_WITHOUT_VALGRIND();
    run_options_t o;
    o.timeout_seconds = 300;
    o.files["m.json"] = R"({"programs": [{"program": "standin_memory", "executable":
        "standin_memory", "check": {"kind": "exit", "status": 0}, "race": null}]})";
    // The ledger names each global by symbol and, for the stripped build, by its offset.
    o.args = {
        "-c",
        "set -e; mkdir -p bin instrumented; cc=\"$1\"; src=\"$2/standin_memory.c\"; "
        "\"$cc\" -g -O1 -shared -fPIC -o full.so \"$src\"; "
        "off() { a=$(nm full.so | awk -v s=$1 '$3 == s { print $1 }'); "
        "printf '[\"0x%x\", \"0x%x\"]' $((0x$a)) $((0x$a + 4)); }; "
        "forms() { for g in \"$@\"; do printf '{\"symbol\": \"%s\"}, {\"section\": \".bss\", "
        "\"offset\": %s, \"versions\": {\"from\": \"1-1\", \"before\": \"1-2\"}},' $g "
        "\"$(off $g)\"; done; }; "
        "entry() { w=$(forms $2 $4); printf '{\"id\": \"%s\", \"library\": \"s\", \"package\": "
        "\"standin\", \"memory\": \"%s\", \"verdict\": \"%s\", \"evidence\": "
        "\"standin_memory.c\", \"where\": [%s], \"accesses\": ["
        "{\"object\": \"libstandin.so\", \"function\": \"standin_parse\", \"kind\": \"any\"},"
        "{\"object\": \"libstandin.so\", \"function\": \"standin_parse\", \"kind\": \"any\"}],"
        " \"programs\": [\"standin_memory\"]}' $1 $2 \"$3\" \"${w%,}\"; }; "
        "printf '{\"findings\": [%s, %s]}' \"$(entry racy standin_racy race)\" "
        "\"$(entry guarded standin_guarded 'false alarm' standin_spin)\" > l.json; "
        "echo 'standin installed 1-1 built 1-1' > instrumented/versions.txt; "
        "cp full.so bin/libstandin.so; "
        "\"$cc\" -g -O0 -pthread -o bin/standin_memory \"$2/standin_user.c\" "
        "-Lbin -lstandin -Wl,-rpath,'$ORIGIN'; "
        "for v in symbols stripped; do cp full.so bin/libstandin.so; "
        "[ $v = stripped ] && strip bin/libstandin.so; "
        "\"$0\" score --tool helgrind --manifest m.json --ledger l.json --bin-for "
        "helgrind=bin --repeat 2 --out out-$v > /dev/null || exit 1; done",
        CORPUS_RUNNER, CORPUS_C_COMPILER, CORPUS_SOURCE_DIR "/tests/corpus"};
    run_result_t r = run_program("/bin/sh", o);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const char *v : {"symbols", "stripped"}) {
        auto t =
            nlohmann::json::parse(read_file(r.dir + "/out-" + v + "/score/score.json"))["tools"][0];
        EXPECT_EQ(t["library"]["races_found"], nlohmann::json::array({"racy"})) << v << t.dump(1);
        EXPECT_EQ(t["library"]["false_alarms"], nlohmann::json::array({"guarded"}))
            << v << t.dump(1);
        EXPECT_EQ(t["library"]["unjudged"].size(), 0u) << v << t["library"].dump(1);
        EXPECT_GE(t["library"]["entry_reports"]["guarded"], 1) << v;
    }
}

// Library reports recorded from real runs of the shipped programs under each detector on
// Debian 12 (recorded/record.py): the ledger, for the versions those runs loaded, gives every
// one of them exactly one entry.
TEST(Ledger, EveryRecordedLibraryReportHasExactlyOneEntry) {
    const ledger_t all = load_ledger(CORPUS_SOURCE_DIR "/corpus/judging/findings.json");
    int files = 0;
    for (const char *tool :
         {"helgrind", "drd", "tsan", "tsan-deep", "tsan-full", "helgrind-deep", "drd-deep"}) {
        const std::string text =
            read_file(CORPUS_SOURCE_DIR "/tests/corpus/recorded/" + std::string(tool) + ".json");
        if (text.empty())
            continue;
        ++files;
        const auto record = nlohmann::json::parse(text);
        const ledger_t l =
            ledger_for_versions(all, record["versions"].get<std::map<std::string, std::string>>());
        int unjudged = 0, ambiguous = 0;
        for (const auto &j : record["reports"]) {
            report_t r;
            r.kind = j["kind"];
            auto stack = [](const nlohmann::json &frames) {
                std::vector<frame_t> s;
                for (const auto &f : frames)
                    s.push_back({f[0], "", f[1], 0});
                return s;
            };
            for (const auto &s : j["stacks"])
                r.access_stacks.push_back(stack(s));
            for (const auto &k : j["access_kinds"])
                r.access_kinds.push_back(k == "write"  ? access_kind_t::write
                                         : k == "read" ? access_kind_t::read
                                                       : access_kind_t::unknown);
            r.memory = memory_from_json(j["memory"]);
            r.memory.allocated = j["memory"].contains("allocated") ? stack(j["memory"]["allocated"])
                                                                   : std::vector<frame_t>{};
            r.allocation = j.value("allocation_is_memory", false) ? r.memory.allocated
                           : j.contains("allocation")             ? stack(j["allocation"])
                                                                  : std::vector<frame_t>{};
            const auto entries = judge_report(r, l);
            unjudged += entries.empty();
            ambiguous += entries.size() > 1;
            std::string tops;
            for (const auto &s : r.access_stacks)
                tops += stack_top_name(s) + " / ";
            EXPECT_EQ(entries.size(), 1u) << tool << " " << j["program"] << ": " << r.kind << " at "
                                          << tops << "on " << describe_memory(r.memory);
        }
        EXPECT_EQ(unjudged + ambiguous, 0) << tool;
    }
    EXPECT_GE(files, 4) << "the recorded reports of helgrind, drd, tsan and tsan-deep";
}

// dpkg's order, in-process: epochs, '~' before the end, digits as numbers, revisions last.
TEST(Ledger, VersionsAreOrderedAsDpkgOrdersThem) {
    const std::pair<const char *, const char *> ordered[] = {
        {"2.5.0-1+deb12u2", "2.5.0-1+deb12u10"},
        {"1.0~rc1-1", "1.0-1"},
        {"8:6.9.11.60+dfsg-1.6+deb12u16", "8:6.9.11.60+dfsg-1.6+deb12u17"},
        {"1:2.0", "9:1.0"},
        {"1.0-1", "1.0-1.1"},
        {"1.0a-1", "1.0+b-1"},
        {"1.2.13.dfsg-1", "1:1.2.13.dfsg-1"}};
    for (const auto &[a, b] : ordered) {
        EXPECT_TRUE(version_before(a, b)) << a << " < " << b;
        EXPECT_FALSE(version_before(b, a)) << b << " < " << a;
        EXPECT_FALSE(version_before(a, a)) << a;
    }
}

// The ledger's shape is checked field by field: a wrong shape is refused with its entry, never
// taken or crashed on.
TEST(Ledger, WrongShapesAreRefused) {
    const std::string good = entry("bump", "read_all");
    auto with = [&](const std::string &field) {
        return R"({"findings": [)" + good.substr(0, good.size() - 1) + ", " + field + "}]}";
    };
    expect_refused(R"({"findings": {"a": 1}})", "a ledger is");
    expect_refused(with(R"("package": "x", "versions": {"from": "not a version"})"),
                   "Debian versions");
    expect_refused(with(R"("package": "x", "versions": {"from": "2.0-1", "before": "1.0-1"})"),
                   "is not before");
    expect_refused(with(R"("package": "x", "versions": ["1.0"])"), "versions");
    expect_refused(R"({"findings": [{"id": "x\u0007y", "library": "x", "memory": "m"}]})",
                   "\\u0007");
    expect_refused(
        R"({"findings": [{"id": "x-counter", "library": "x", "memory": "m", "verdict": "race",
              "evidence": "e", "accesses": {"object": "libx.so.1"}}]})",
        "list of two");
}

// A large ledger costs no more than its reading: 10,000 entries with versions, each decided
// once in-process (a dpkg process per comparison took minutes).
TEST(Ledger, ALargeLedgerIsReadAndAppliedQuickly) {
    nlohmann::json findings = nlohmann::json::array();
    size_t applying = 0; // those from 1.0-0 to 1.0-5
    for (int i = 0; i < 10000; ++i) {
        applying += i % 9 <= 5;
        auto e = nlohmann::json::parse(entry("f" + std::to_string(i), "g"));
        e["id"] = "e" + std::to_string(i);
        e["package"] = "x";
        e["versions"] = {{"from", "1.0-" + std::to_string(i % 9)}, {"before", "2.0-1"}};
        findings.push_back(e);
    }
    const std::string text = nlohmann::json{{"findings", findings}}.dump();
    const auto start = std::chrono::steady_clock::now();
    const ledger_t l = ledger_for_versions(parse_ledger(text), {{"x", "1.0-5"}});
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(l.findings.size(), applying);
    EXPECT_LT(seconds, 20.0);
}
