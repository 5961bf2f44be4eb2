// Outside programs through a manifest of their own: the example suite is scored by helgrind
// and ThreadSanitizer, and a manifest is made from a folder of labelled executables.
#include "detectors.h"
#include "memory.h"
#include "parse.h"
#include "provenance.h"
#include "run.h"
#include "run_program.h"
#include "score.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/stat.h>

static const std::string suite_manifest = CORPUS_SOURCE_DIR "/tests/suite/suite.json";

// Runs `corpus score` on the suite under `tool` and returns its scorecard for that tool.
static nlohmann::json score(const std::string &tool, const std::string &manifest,
                            const std::string &bin, run_options_t o = {}) {
    o.timeout_seconds = 300;
    o.args = {"score",     "--tool",         tool,    "--manifest", manifest,
              "--bin-for", tool + "=" + bin, "--out", "out"};
    run_result_t r = run_program(CORPUS_RUNNER, o);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return nlohmann::json::parse(read_file(r.dir + "/out/score/score.json"))["tools"][0];
}

static void expect_counts(const nlohmann::json &t, int tp, int fp, int tn, int fn) {
    EXPECT_EQ(t["tp"], tp) << t.dump(1);
    EXPECT_EQ(t["fp"], fp) << t.dump(1);
    EXPECT_EQ(t["tn"], tn) << t.dump(1);
    EXPECT_EQ(t["fn"], fn) << t.dump(1);
}

TEST(OutsideSuite, ScoredByHelgrindAndThreadSanitizerWithTheRightPairs) {
    SKIP_WITHOUT_VALGRIND();
    // The hand-written manifest names plain executables, found in --bin.
    auto helgrind = score("helgrind", suite_manifest, CORPUS_SUITE_DIR "/plain");
    expect_counts(helgrind, 2, 0, 2, 0);
    EXPECT_EQ(helgrind["pair_recall"], 1.0) << helgrind.dump(1);
    if (!file_exists(CORPUS_SUITE_DIR "/tsan/counter-yes"))
        GTEST_SKIP() << "no ThreadSanitizer build of the suite";
    auto tsan = score("tsan", suite_manifest, CORPUS_SUITE_DIR "/tsan");
    expect_counts(tsan, 2, 0, 2, 0);
    EXPECT_EQ(tsan["pair_recall"], 1.0) << tsan.dump(1);
}

TEST(OutsideSuite, ManifestFromAFolderOfLabelledExecutables) {
    run_options_t o;
    o.files["suite/a-yes"] = "#!/bin/sh\nexit 0\n";
    o.files["suite/b_no.out"] = "#!/bin/sh\nexit 0\n";
    o.files["suite/c"] = "#!/bin/sh\nexit 0\n";              // no label: left out
    o.files["suite/d-yes"] = "#!/bin/sh\nexit 0\n";          // not executable: left out
    o.files["suite/e-no"] = "#!/bin/sh\nprintf x\nexit 3\n"; // fails its check
    o.args = {"-c",
              "chmod +x suite/a-yes suite/b_no.out suite/c suite/e-no && "
              "\"$0\" manifest --from-dir suite --label-suffix yes=race,no=none "
              "--env OMP_NUM_THREADS=2 > suite.json && "
              "\"$0\" run --manifest suite.json --out out",
              CORPUS_RUNNER};
    run_result_t r = run_program("/bin/sh", o);
    EXPECT_EQ(r.status, 1) << r.out << r.err; // e-no exits 3
    auto m = nlohmann::json::parse(read_file(r.dir + "/suite.json"));
    ASSERT_EQ(m["programs"].size(), 3u) << m.dump(1);
    EXPECT_EQ(m["programs"][0]["program"], "a-yes");
    EXPECT_EQ(m["programs"][0]["race"]["accesses"].size(), 0u);
    EXPECT_EQ(m["programs"][1]["program"], "b_no.out");
    EXPECT_TRUE(m["programs"][1]["race"].is_null());
    EXPECT_EQ(m["programs"][2]["env"]["OMP_NUM_THREADS"], "2");
    auto results = nlohmann::json::parse(read_file(r.dir + "/out/native/results.json"));
    for (const auto &p : results["programs"])
        EXPECT_EQ(p["ok"].get<bool>(), p["program"] != "e-no") << p.dump(1);
    // A label suffix that says neither "race" nor "none" is a usage error.
    o.args = {"manifest", "--from-dir", ".", "--label-suffix", "yes=maybe"};
    EXPECT_EQ(run_program(CORPUS_RUNNER, o).status, 2);
}

TEST(Scorecard, APositiveSwappedForItsRaceFreeTwinIsMissed) {
#if CORPUS_SANITIZER_BUILD
    GTEST_SKIP() << "valgrind cannot run a sanitizer build";
#endif
    if (!file_exists("/usr/bin/valgrind") || !file_exists(program_path("zlib_roundtrip_racy")))
        GTEST_SKIP() << "needs valgrind and the zlib programs";
    // The same label, first on the racy program, then on its race-free twin's executable put
    // in its place: the scorecard follows what the program does, not what its label says.
    const std::string racy = program_path("zlib_roundtrip_racy");
    run_options_t o;
    o.timeout_seconds = 300;
    o.args = {
        "-c",
        "mkdir real swapped && cp \"$1/zlib_roundtrip_racy\" real/ && "
        "cp \"$1/zlib_roundtrip_unlocked\" swapped/zlib_roundtrip_racy && "
        "for b in real swapped; do \"$0\" score --tool helgrind --bin \"$b\" --out \"out-$b\" "
        "zlib_roundtrip_racy > /dev/null || exit 1; done",
        CORPUS_RUNNER, racy.substr(0, racy.rfind('/'))};
    run_result_t r = run_program("/bin/sh", o);
    ASSERT_EQ(r.status, 0) << r.err;
    auto real = nlohmann::json::parse(read_file(r.dir + "/out-real/score/score.json"));
    auto swapped = nlohmann::json::parse(read_file(r.dir + "/out-swapped/score/score.json"));
    EXPECT_EQ(real["tools"][0]["programs"][0]["outcome"], "TP") << real.dump(1);
    EXPECT_EQ(real["tools"][0]["programs"][0]["pair_matched"], true);
    EXPECT_EQ(swapped["tools"][0]["programs"][0]["outcome"], "FN") << swapped.dump(1);
}

TEST(Scorecard, RatesCarryWilsonIntervalsAndBuildsAreNamedByTheirCompiler) {
    // Known values of the 95% Wilson score interval.
    EXPECT_NEAR(wilson_interval(0, 3).high, 0.5615, 1e-4);
    EXPECT_NEAR(wilson_interval(3, 3).low, 0.4385, 1e-4);
    EXPECT_NEAR(wilson_interval(10, 20).low, 0.2993, 1e-4);
    EXPECT_NEAR(wilson_interval(10, 20).high, 0.7007, 1e-4);
    EXPECT_EQ(compiler_short_name("g++ (Debian 12.2.0-14+deb12u1) 12.2.0"), "gcc-12.2.0");
    EXPECT_EQ(compiler_short_name("Debian clang version 16.0.6 (15~deb12u1)"), "clang-16.0.6");
    EXPECT_EQ(compiler_short_name("unknown"), "");
}

TEST(Perturb, NoiseReachesEveryThreadAndTheContractsStillHold) {
    // The runner preloads the noise into every run; each run's program appends how many delays
    // it made to the log named in the environment the runner passes on.
    run_options_t o;
    o.timeout_seconds = 120;
    o.args = {"-c",
              "CORPUS_PERTURB_LOG=\"$PWD/delays.txt\" exec \"$0\" run --perturb 11 --repeat 2 "
              "--out out xml_fanout_locked png_fanout_traced",
              CORPUS_RUNNER};
    run_result_t r = run_program("/bin/sh", o);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::istringstream delays(read_file(r.dir + "/delays.txt"));
    int runs = 0;
    for (long n; delays >> n; ++runs)
        EXPECT_GE(n, 40) << "ten workers, each through its start, section and marker at least";
    EXPECT_EQ(runs, 4);
    auto j = nlohmann::json::parse(read_file(r.dir + "/out/native-perturbed/results.json"));
    EXPECT_EQ(j["provenance"]["perturb_seed"], 11);
}

// Two machines' scorecards of the same suite merge into one over all their runs: runs with the
// same number on two machines are two runs; a folder given twice is refused.
TEST(OutsideSuite, MergedScorecardsCountEveryRunOnce) {
    SKIP_WITHOUT_VALGRIND();
    run_options_t o;
    o.timeout_seconds = 300;
    o.args = {"-c",
              "\"$0\" score --tool helgrind --manifest \"$1\" --bin-for helgrind=\"$2\" --repeat 2 "
              "--out a > /dev/null && cp -r a b && "
              "\"$0\" merge --manifest \"$1\" --out m a b > /dev/null && "
              "! \"$0\" merge --manifest \"$1\" --out m2 a ./a 2> twice.txt",
              CORPUS_RUNNER, suite_manifest, CORPUS_SUITE_DIR "/plain"};
    run_result_t r = run_program("/bin/sh", o);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(read_file(r.dir + "/twice.txt").find("given twice"), std::string::npos);
    auto t = nlohmann::json::parse(read_file(r.dir + "/m/score/score.json"))["tools"][0];
    for (const auto &p : t["programs"]) {
        EXPECT_EQ(p["runs"], 4) << p.dump();
        if (p["race"] == true) {
            EXPECT_EQ(p["pair_rate"]["share"], 1.0) << p.dump();
        }
    }
}

// Only a report of a label's kind shows it, and a negative is scored on the kind its axis puts
// to the tools: a data race neither detects a lock order nor is a false lock-order alarm. The
// profile tallies each axis apart.
TEST(Scorecard, OnlyTheKindScoredCountsAndEachAxisIsTalliedApart) {
    detectors(); // the detectors' names of a data race and of a lock order
    program_t order, trylock, racy;
    order.name = "order";
    order.axis = trylock.axis = axis_t::lock_order;
    order.race = race_label_t{"locks", {}, race_kind_t::lock_order};
    trylock.name = "trylock";
    racy.name = "racy";
    racy.race = race_label_t{"x", {}, race_kind_t::data_race};
    auto row = [](const program_t &p, std::vector<std::string> kinds) {
        row_t r;
        r.p = &p;
        r.runs = r.passed = int(kinds.size());
        for (size_t i = 0; i < kinds.size(); ++i)
            if (!kinds[i].empty()) {
                report_t rep;
                rep.kind = kinds[i];
                rep.own = true;
                rep.run = int(i) + 1;
                rep.key = kinds[i] + std::to_string(i);
                r.reports.push_back(rep);
            }
        r.summary = summarize_reports(r.reports);
        return r;
    };
    const std::string lock_order = "lock-order-inversion (potential deadlock)";
    const tool_score_t t =
        score_tool(tool_named("tsan"), 3,
                   {row(order, {"data race", lock_order, ""}), row(trylock, {"data race", "", ""}),
                    row(racy, {lock_order, "", ""})},
                   ledger_t{});
    ASSERT_EQ(t.programs.size(), 3u);
    EXPECT_EQ(t.programs[0].outcome, outcome_t::tp);
    EXPECT_EQ(t.programs[0].detected_runs, 1);
    EXPECT_EQ(t.programs[0].other_runs, 1);
    EXPECT_EQ(t.programs[1].outcome, outcome_t::tn);
    EXPECT_EQ(t.programs[1].other_runs, 1);
    EXPECT_EQ(t.programs[2].outcome, outcome_t::fn) << "a lock order is no data race";
    const axis_counts_t &lock = t.axes[int(axis_t::lock_order)];
    EXPECT_EQ(std::vector<int>({lock.tp, lock.fp, lock.tn, lock.fn}),
              std::vector<int>({1, 0, 1, 0}));
    EXPECT_EQ(t.axes[int(axis_t::built_in)].fn, 1);
    EXPECT_NE(score_table({t}).find("1/1 0/1"), std::string::npos) << score_table({t});
    EXPECT_EQ(score_json({t})["tools"][0]["axes"]["lock-order"]["tn"], 1);
}

// A race-free twin that puts a construct to the tools holds when a tool reports in our code
// there (the tool's false alarm); a race-free program of the built-in axis fails its row.
TEST(Scorecard, AFalseAlarmOnAConstructLeavesItsTwinHolding) {
    program_t p;
    p.name = "spinlock";
    p.axis = axis_t::memory_model;
    row_t row;
    row.p = &p;
    row.runs = row.passed = 1;
    report_t own;
    own.kind = "data race";
    own.own = true;
    own.key = "k";
    row.reports = {own};
    finish_row(row, "helgrind", ledger_t{});
    EXPECT_TRUE(row.ok);
    EXPECT_EQ(row.verdict, "ok (false alarms on its construct)");
    EXPECT_EQ(row.construct_alarms, 1);
    p.axis = axis_t::built_in;
    finish_row(row, "helgrind", ledger_t{});
    EXPECT_FALSE(row.ok);
    EXPECT_EQ(row.verdict, "FAIL: own-code reports");

    // A library-rule twin: our callback's report on the handed object is the rule break again;
    // on other memory it fails the row.
    race_access_t made;
    made.in_library = true;
    made.objects = {"libx.so.1"};
    made.functions = {"x_create"};
    made.kind = "write";
    made.where = parse_where(nlohmann::json::parse(R"({"allocated_in": ["x_create"]})"));
    race_access_t used = made;
    used.functions = {"x_parse"};
    used.kind = "read";
    p.race = race_label_t{"the handed object", {made, used}};
    row.reports[0].memory.kind = memory_kind_t::heap;
    row.reports[0].memory.allocated = {{"x_create", "", "libx.so.1", 0}};
    finish_row(row, "helgrind", ledger_t{});
    EXPECT_TRUE(row.ok) << row.verdict;
    EXPECT_EQ(row.summary.reports[0].judgement, judgement_t::labelled_rule_break);
    row.reports[0].memory.allocated = {{"y_new", "", "liby.so.1", 0}};
    finish_row(row, "helgrind", ledger_t{});
    EXPECT_EQ(row.verdict, "FAIL: own-code reports");
}
