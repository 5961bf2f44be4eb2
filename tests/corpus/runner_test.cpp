// The runner end to end on the cheapest program, and its failures.
#include "run_program.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <tuple>

#include <nlohmann/json.hpp>
#include <unistd.h>

static bool xml_single_built() {
    return file_exists(program_path("xml_single"));
}

TEST(Runner, RunsAndWritesTableCsvAndJson) {
    if (!xml_single_built())
        GTEST_SKIP() << "xml_single is not part of this build";
    run_options_t o;
    o.timeout_seconds = 120;
    run_result_t first = run_program(CORPUS_RUNNER, o); // no command: usage
    EXPECT_EQ(first.status, 2);
    o.args = {"run", "--repeat", "2", "--out", "out", "xml_single"};
    run_result_t r = run_program(CORPUS_RUNNER, o);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("xml_single"), std::string::npos);
    EXPECT_NE(r.out.find("2/2"), std::string::npos) << r.out;
    EXPECT_EQ(count_prefixed(r.err, "[1/1] xml_single: run "), 2) << r.err;
    auto j = nlohmann::json::parse(read_file(r.dir + "/out/native/results.json"));
    EXPECT_EQ(j["programs"][0]["passed"], 2);
    EXPECT_TRUE(j["programs"][0]["ok"].get<bool>());
    EXPECT_NE(read_file(r.dir + "/out/native/results.csv").find("xml_single,single-threaded,2/2"),
              std::string::npos);
}

TEST(Runner, MemoryDoesNotGrowWithTheOutput) {
#if CORPUS_SANITIZER_BUILD
    GTEST_SKIP() << "a sanitizer's runner needs memory of its own";
#else
    if (!file_exists(program_path("xml_fanout_unlocked")))
        GTEST_SKIP() << "xml_fanout_unlocked is not part of this build";
    // Nested 5000 deep, the document's outline has lines of up to 5000 bytes and the ten
    // workers print about 250 MB in all.
    std::string document;
    for (int i = 0; i < 5000; ++i)
        document += "<a>";
    for (int i = 0; i < 5000; ++i)
        document += "</a>";
    const std::string dir = make_run_dir();
    run_request_t req;
    req.dir = dir;
    req.argv = {CORPUS_RUNNER, "run", "--samples", dir, "--out", "out", "xml_fanout_unlocked"};
    req.out_path = dir + "/runner.out";
    req.err_path = dir + "/runner.err";
    req.timeout_seconds = 120;
    std::ofstream(dir + "/FirstTest.xml") << document;
    process_result_t r = run_process(req);
    EXPECT_TRUE(r.exited && r.status == 0) << read_file(req.out_path) << read_file(req.err_path);
    EXPECT_LT(r.peak_kib, 150 * 1024);
#endif
}

TEST(Runner, MissingProgramIsAFailure) {
    run_options_t o;
    o.args = {"run", "--bin", "nowhere", "--out", "out", "xml_single"};
    run_result_t r = run_program(CORPUS_RUNNER, o);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("FAIL: not built"), std::string::npos) << r.out;
    o.args = {"run", "--out", "out", "no_such_program"};
    EXPECT_EQ(run_program(CORPUS_RUNNER, o).status, 2);
}

TEST(Runner, BrokenProgramFailsItsRow) {
    // A stand-in that prints nothing and exits 0 must not pass the xml_single contract.
    run_options_t o;
    o.files["xml_single"] = "#!/bin/sh\nexit 0\n";
    o.args = {"run", "--bin", ".", "--out", "out", "xml_single"};
    // Make the stand-in executable before the runner looks at it.
    o.args.insert(o.args.begin(),
                  {"-c", "chmod +x xml_single && exec \"$0\" \"$@\"", CORPUS_RUNNER});
    run_result_t r = run_program("/bin/sh", o);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("FAIL: contract"), std::string::npos) << r.out;
}

TEST(Runner, HangingProgramIsCutOffAtTheTimeLimit) {
    // A stand-in that never ends, with a child of its own that must go with it.
    run_options_t o;
    o.files["xml_single"] = "#!/bin/sh\nsleep 300 &\necho $! > child.pid\nwait\n";
    o.args = {"-c",          "chmod +x xml_single && exec \"$0\" \"$@\"",
              CORPUS_RUNNER, "run",
              "--bin",       ".",
              "--out",       "out",
              "--timeout",   "5",
              "xml_single"};
    run_result_t r = run_program("/bin/sh", o);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("did not finish within its time limit"), std::string::npos) << r.out;
    std::string pid = read_file(r.dir + "/out/native/runs/xml_single/1/child.pid");
    ASSERT_FALSE(pid.empty());
    // Gone, or a zombie waiting for its new parent to reap it. A killed process may still be
    // on its way out on a loaded machine, so give it a few seconds.
    std::string stat;
    for (int waited_ms = 0; waited_ms < 5000; waited_ms += 50) {
        stat = read_file("/proc/" + pid.substr(0, pid.find('\n')) + "/stat");
        size_t state = stat.rfind(") ");
        if (stat.empty() || (state != std::string::npos && stat[state + 2] == 'Z'))
            break;
        usleep(50000);
    }
    size_t state = stat.rfind(") ");
    EXPECT_TRUE(stat.empty() || (state != std::string::npos && stat[state + 2] == 'Z'))
        << "the program's child outlived the run: " << stat;
}

// The download and its two twins that break libcurl's and GTK+'s rules, each held to the contract.
TEST(Runner, DownloadRunsUnderXvfbAndIsStoppedWhenTheFileIsWhole) {
    if (!file_exists(program_path("download_progress")))
        GTEST_SKIP() << "download_progress is not part of this build";
    run_options_t o;
    o.timeout_seconds = 180;
    o.args = {"run",
              "--out",
              "out",
              "download_progress",
              "download_progress_handover",
              "download_progress_unguarded"};
    run_result_t r = run_program(CORPUS_RUNNER, o);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("3 of 3 programs hold"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("test.curl ok, bar full"), std::string::npos) << r.out;
    const std::string dir = r.dir + "/out/native/runs/download_progress/1/";
    EXPECT_EQ(read_file(dir + "test.curl"), read_file(CORPUS_SOURCE_DIR "/samples/download.txt"));
    EXPECT_TRUE(file_exists(dir + "shot.png"));
}

TEST(Runner, HelgrindSmoke) {
#if CORPUS_SANITIZER_BUILD
    GTEST_SKIP() << "valgrind cannot run a sanitizer build";
#endif
    if (!xml_single_built() || !file_exists("/usr/bin/valgrind"))
        GTEST_SKIP() << "needs xml_single and valgrind";
    run_options_t o;
    o.timeout_seconds = 240;
    o.args = {"run", "--tool", "helgrind", "--out", "out", "xml_single"};
    run_result_t r = run_program(CORPUS_RUNNER, o);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    auto j = nlohmann::json::parse(read_file(r.dir + "/out/helgrind/results.json"));
    EXPECT_EQ(j["tool"], "helgrind");
    EXPECT_EQ(j["programs"][0]["reports"]["own"], 0);
    EXPECT_TRUE(file_exists(r.dir + "/out/helgrind/runs/xml_single/1/valgrind.xml"));
}

TEST(Runner, ReportInOwnCodeFailsTheRun) {
    SKIP_WITHOUT_VALGRIND();
    // A one-entry manifest for the racy probe, whose output passes the greeting check.
    run_options_t o;
    o.timeout_seconds = 240;
    o.files["manifest.json"] = R"({"verdict": "no data race in the corpus's own code",
        "programs": [{"program": "race_probe", "subsystem": "test", "library": "none",
        "variant": "unserialized", "twin": null, "markers": null, "inputs": [], "outputs": [],
        "check": {"kind": "omp_hello", "threads": 1}, "verdict": "no data race in the corpus's own code",
        "rationale": "none", "race": null}]})";
    o.args = {"run", "--manifest", "manifest.json", "--bin", CORPUS_PROBE_DIR, "--out", "out"};
    run_result_t native = run_program(CORPUS_RUNNER, o);
    EXPECT_EQ(native.status, 0) << native.out << native.err;
    o.args.insert(o.args.begin() + 1, {"--tool", "helgrind"});
    run_result_t r = run_program(CORPUS_RUNNER, o);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("FAIL: own-code reports"), std::string::npos) << r.out;
    auto j = nlohmann::json::parse(read_file(r.dir + "/out/helgrind/results.json"));
    EXPECT_EQ(j["programs"][0]["reports"]["own"], 1);
    EXPECT_NE(j["programs"][0]["report_list"][0]["where"].get<std::string>().find("bump"),
              std::string::npos);
    // Results with reports merge: their frames (function, file, object, line) keep their shape.
    run_options_t m;
    m.dir = r.dir;
    m.args = {"merge", "--manifest", "manifest.json", "--out", "merged", "out"};
    run_result_t merged = run_program(CORPUS_RUNNER, m);
    EXPECT_EQ(merged.status, 1) << merged.err; // the row still fails, now merged
    EXPECT_NE(merged.out.find("FAIL: own-code reports"), std::string::npos) << merged.err;
    // The same from a folder whose name is no UTF-8: valgrind's XML and the manifest's path hold
    // the byte; every report is still read, and the results keep it as U+FFFD.
    run_options_t bad = o;
    bad.args = {
        "-c",
        "d=$(printf 'd\\377') && mkdir \"$d\" && cp \"$1\"/race_probe manifest.json \"$d\" && "
        "\"$0\" run --tool helgrind --manifest \"$d/manifest.json\" --bin \"$d\" --out out2",
        CORPUS_RUNNER, CORPUS_PROBE_DIR};
    run_result_t b = run_program("/bin/sh", bad);
    EXPECT_EQ(b.status, 1) << b.out << b.err;
    auto k = nlohmann::json::parse(read_file(b.dir + "/out2/helgrind/results.json"));
    EXPECT_EQ(k["programs"][0]["reports"]["own"], 1) << b.out;
    EXPECT_NE(k["manifest"].get<std::string>().find("\xEF\xBF\xBD"), std::string::npos);
}

TEST(Runner, LabelsFollowTheirTagsAndMatchByFunctionWithoutDebugInformation) {
    // The test builds its own programs without sanitizers, so any build of the runner will do.
    if (!file_exists("/usr/bin/valgrind"))
        GTEST_SKIP() << "needs valgrind";
    // A copy of the tagged program with a line added above its racing store, built with -g
    // (its frames carry lines) and without (a Release build: functions only).
    std::string source = read_file(CORPUS_SOURCE_DIR "/tests/corpus/tagged_race.c");
    source.insert(source.find("    shared = 1;"), "    /* a line added above */\n");
    run_options_t o;
    o.timeout_seconds = 240;
    o.files["tagged_race.c"] = source;
    std::string entries;
    for (const char *name : {"debug", "release"})
        entries += std::string(entries.empty() ? "" : ",") + R"({"program": ")" + name +
                   R"(", "executable": ")" + name + R"(", "check": {"kind": "exit", "status": 0},
            "race": {"object": "shared", "accesses": [
              {"file": "tagged_race.c", "tag": "tagged_race write", "function": "writer",
               "kind": "write"},
              {"file": "tagged_race.c", "tag": "tagged_race read", "function": "main",
               "kind": "read"}]}})";
    o.files["labels.json"] = R"({"programs": [)" + entries + "]}";
    o.args = {"-c",
              "\"$1\" -g -O0 -pthread -o debug tagged_race.c && "
              "\"$1\" -g0 -O2 -pthread -o release tagged_race.c && "
              "exec \"$0\" run --tool helgrind --manifest labels.json --out out",
              CORPUS_RUNNER, CORPUS_C_COMPILER};
    run_result_t r = run_program("/bin/sh", o);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    auto j = nlohmann::json::parse(read_file(r.dir + "/out/helgrind/results.json"));
    ASSERT_EQ(j["programs"].size(), 2u) << r.out;
    EXPECT_EQ(j["programs"][0]["verdict"], "ok (labelled race found)") << r.out;
    EXPECT_EQ(j["programs"][1]["verdict"], "ok (labelled race found by function)") << r.out;
}

// The state letter of process `pid` ("" when it is gone).
static std::string process_state(const std::string &pid) {
    std::string stat = read_file("/proc/" + pid + "/stat");
    size_t state = stat.rfind(") ");
    return state == std::string::npos ? "" : stat.substr(state + 2, 1);
}

TEST(Runner, ProgramGetsOnlyItsStandardDescriptorsAndDiesWithTheRunner) {
    // The stand-in lists its open descriptors, then waits; the runner is killed meanwhile.
    run_options_t o;
    o.timeout_seconds = 60;
    o.files["xml_single"] = "#!/bin/sh\n"
                            "ls -l /proc/self/fd/ > ../fds.txt\n"
                            "echo $$ > ../me.pid\n"
                            "exec sleep 300\n";
    o.args = {"-c",
              "chmod +x xml_single && \"$0\" run --bin . --out out xml_single & runner=$!; "
              "i=0; while [ ! -s out/native/runs/xml_single/me.pid ] && [ $i -lt 400 ]; do "
              "sleep 0.05; i=$((i+1)); done; sleep 0.2; kill -9 $runner; wait $runner; sleep 0.5",
              CORPUS_RUNNER};
    run_result_t r = run_program("/bin/sh", o);
    const std::string dir = r.dir + "/out/native/runs/xml_single/";
    std::string pid = read_file(dir + "me.pid");
    ASSERT_FALSE(pid.empty()) << r.out << r.err;
    pid = pid.substr(0, pid.find('\n'));
    std::string state = process_state(pid);
    if (state != "" && state != "Z")
        kill(atoi(pid.c_str()), SIGKILL);
    EXPECT_TRUE(state == "" || state == "Z") << "the program outlived the killed runner: " << state;
    // What the shell passes on to a command it starts: the run's files reach the program only
    // as its standard output and error.
    std::string fds = read_file(dir + "fds.txt");
    ASSERT_NE(fds.find(" 0 -> /dev/null"), std::string::npos) << fds;
    EXPECT_EQ(fds.find("/1/stdout"), std::string::npos) << fds;
    size_t err = fds.find("/1/stderr");
    ASSERT_NE(err, std::string::npos) << fds;
    EXPECT_EQ(fds.find("/1/stderr", err + 1), std::string::npos) << fds;
    EXPECT_EQ(count_prefixed(fds, "l"), 4) << "0 to 2 and the folder being listed only:\n" << fds;
}

TEST(Runner, ErrorDuringTheRunIsReportedWithStatusTwo) {
    // --out below a plain file cannot be created.
    run_options_t o;
    o.files["blocker"] = "a file\n";
    o.args = {"run", "--bin", "nowhere", "--out", "blocker/out", "xml_single"};
    run_result_t r = run_program(CORPUS_RUNNER, o);
    EXPECT_TRUE(r.exited) << "killed by signal " << r.signal;
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_EQ(r.err.rfind("corpus: ", 0) == 0 || r.err.find("\ncorpus: ") != std::string::npos,
              true)
        << r.err;
}

TEST(Runner, UnfinishedValgrindXmlIsNoCleanRun) {
    if (!xml_single_built())
        GTEST_SKIP() << "xml_single is not part of this build";
    // A stand-in valgrind that runs the program but leaves its XML file unfinished.
    run_options_t o;
    o.timeout_seconds = 120;
    o.files["valgrind"] = "#!/bin/sh\n"
                          "for a; do case $a in --xml-file=*) printf '<valgrindoutput>\\n' > "
                          "\"${a#--xml-file=}\";; esac; last=$a; done\n"
                          "exec \"$last\"\n";
    o.args = {"-c",          "chmod +x valgrind && PATH=\"$PWD:$PATH\" exec \"$0\" \"$@\"",
              CORPUS_RUNNER, "run",
              "--tool",      "helgrind",
              "--out",       "out",
              "xml_single"};
    run_result_t r = run_program("/bin/sh", o);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("valgrind.xml missing or unfinished"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("FAIL: contract"), std::string::npos) << r.out;
}

// --- The runner's own failures are never the programs' ----------------------------------------

// Runs the runner with `args` after making the stand-in `xml_single` (a shell script) runnable.
static run_result_t run_with_stand_in(const std::string &script, std::vector<std::string> args,
                                      run_options_t o = {}) {
    o.files["xml_single"] = script;
    o.args = {"-c", "chmod +x xml_single && exec \"$0\" \"$@\"", CORPUS_RUNNER};
    o.args.insert(o.args.end(), args.begin(), args.end());
    return run_program("/bin/sh", o);
}

TEST(RunnerFailures, BadOptionValuesAndProgramNamesAreUsageErrors) {
    for (std::vector<std::string> bad : {std::vector<std::string>{"--timeout", "nan"},
                                         {"--timeout", "inf"},
                                         {"--timeout", "-1"},
                                         {"--timeout", "5s"},
                                         {"--repeat", "1abc"},
                                         {"--repeat", "4294967297"},
                                         {"--repeat", "0"},
                                         {"--repeat", ""},
                                         {"--perturb", "-1"},
                                         {"--ledger", "nowhere.json"},
                                         {"--until-detected", "3"},        // score only
                                         {"--tool", "tsan@tsan-clang-16"}, // score only
                                         {"--bin-for", "tsna=here"},       // score only
                                         {"--env", "A=1"},                 // manifest only
                                         {"--tool", "drd", "--tool", "drd"}}) {
        run_options_t o;
        o.args = {"run", "--bin", "nowhere", "--out", "out"};
        o.args.insert(o.args.end(), bad.begin(), bad.end());
        o.args.push_back("xml_single");
        run_result_t r = run_program(CORPUS_RUNNER, o);
        EXPECT_EQ(r.status, 2) << bad[0] << " " << bad[1] << ": " << r.err;
        EXPECT_FALSE(file_exists(r.dir + "/out")) << bad[0] << " " << bad[1];
    }
    // Scorecard usage: a first detection takes whole programs, not a shard; a preset without
    // programs is named in the hint.
    // A refusal changes nothing on disk: an earlier scorecard stays.
    for (std::vector<std::string> bad :
         {std::vector<std::string>{"--until-detected", "2", "--shard", "1/2"},
          {"--tool", "tsan@no-such-preset"},
          {"--tool", "helgrind", "--bin-for", "helgrind=no-such-folder"}}) {
        run_options_t o;
        o.files["out/score/score.json"] = "{}";
        o.args = {"score", "--out", "out"};
        o.args.insert(o.args.end(), bad.begin(), bad.end());
        o.args.push_back("xml_single");
        run_result_t r = run_program(CORPUS_RUNNER, o);
        EXPECT_EQ(r.status, 2) << bad[0] << ": " << r.err;
        EXPECT_NE(r.err.find(bad[0] == "--until-detected" ? "no shard"
                             : bad.size() == 2            ? "cmake --preset no-such-preset"
                                                          : "no-such-folder is no folder"),
                  std::string::npos)
            << r.err;
        EXPECT_TRUE(file_exists(r.dir + "/out/score/score.json")) << bad[1];
    }
    // A manifest name that would lead out of --out.
    run_options_t o;
    o.files["m.json"] = R"({"programs": [{"program": "../../x", "subsystem": "t", "library": "t",
        "variant": "unserialized", "check": {"kind": "zlib_roundtrip"}, "verdict": "v",
        "rationale": "r", "race": null}]})";
    o.args = {"run", "--manifest", "m.json", "--bin", ".", "--out", "a/b"};
    run_result_t r = run_program(CORPUS_RUNNER, o);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("not a plain name"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(r.dir + "/x"));
}

TEST(RunnerFailures, UnwritableResultsAreRunnerErrors) {
    const std::string ok = "#!/bin/sh\nexit 0\n";
    // A full disk under the results: status 2 naming the file, never 0 with empty files.
    run_options_t full;
    full.preload = {CORPUS_FULL_DISK};
    full.env["FULL_DISK_PATH"] = "results.json";
    run_result_t r =
        run_with_stand_in(ok, {"run", "--bin", ".", "--out", "out", "xml_single"}, full);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("out/native/results.json"), std::string::npos) << r.err;
    // Run directories that cannot be made: the runner's failure (2), not the program's (1).
    run_options_t blocked;
    blocked.files["out/native/runs"] = "a file in the way\n";
    r = run_with_stand_in(ok, {"run", "--bin", ".", "--out", "out", "xml_single"}, blocked);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("out/native/runs"), std::string::npos) << r.err;
}

TEST(RunnerFailures, BusyOutputFolderAndInterruptionLeaveNoFalseResults) {
    // A stand-in that waits until told to go; the first runner holds "out" meanwhile.
    const std::string waits = "#!/bin/sh\necho $$ > ../../me.pid\nsleep 300\n";
    run_options_t o;
    o.files["xml_single"] = waits;
    o.files["out/native/table.txt"] = "a table of an earlier run\n";
    o.files["out/native/results.json"] = "{\"complete\": true}\n";
    o.args = {"-c",
              "chmod +x xml_single && \"$0\" run --bin . --out out xml_single 2>first.err & "
              "runner=$!; i=0; while [ ! -s out/native/runs/me.pid ] && [ $i -lt 400 ]; do "
              "sleep 0.05; i=$((i+1)); done; "
              "\"$0\" run --bin . --out out xml_single > second.out 2> second.err; "
              "echo $? > second.status; kill -INT $runner; wait $runner; echo $? > first.status",
              CORPUS_RUNNER};
    run_result_t r = run_program("/bin/sh", o);
    EXPECT_EQ(read_file(r.dir + "/second.status"), "2\n") << read_file(r.dir + "/second.err");
    EXPECT_NE(read_file(r.dir + "/second.err").find("in use by another corpus run"),
              std::string::npos);
    // The interrupted runner stopped its program, ends non-zero and leaves nothing that
    // passes for a finished run.
    EXPECT_EQ(read_file(r.dir + "/first.status"), "2\n") << read_file(r.dir + "/first.err");
    EXPECT_NE(read_file(r.dir + "/first.err").find("interrupted by INT"), std::string::npos);
    std::string pid = read_file(r.dir + "/out/native/runs/me.pid");
    ASSERT_FALSE(pid.empty());
    EXPECT_TRUE(process_state(pid.substr(0, pid.find('\n'))) == "");
    EXPECT_FALSE(file_exists(r.dir + "/out/native/table.txt"));
    auto j = nlohmann::json::parse(read_file(r.dir + "/out/native/results.json"));
    EXPECT_FALSE(j["complete"].get<bool>());
}

TEST(RunnerFailures, NothingARunStartedOutlivesIt) {
    // The program starts a child that leaves its process group for a session of its own,
    // then ends normally.
    const std::string escapes = "#!/bin/sh\nsetsid sh -c 'echo $$ > ../../escaped.pid; "
                                "exec sleep 300' &\n"
                                "i=0; while [ ! -s ../../escaped.pid ] && [ $i -lt 100 ]; do "
                                "sleep 0.05; i=$((i+1)); done\n";
    run_result_t r =
        run_with_stand_in(escapes, {"run", "--bin", ".", "--out", "out", "xml_single"});
    EXPECT_EQ(r.status, 1) << r.out << r.err; // the stand-in prints nothing of the contract
    std::string pid = read_file(r.dir + "/out/native/runs/escaped.pid");
    ASSERT_FALSE(pid.empty()) << r.err;
    pid = pid.substr(0, pid.find('\n'));
    std::string state = process_state(pid);
    if (state != "" && state != "Z")
        kill(atoi(pid.c_str()), SIGKILL);
    EXPECT_TRUE(state == "" || state == "Z") << "the escaped child outlived the run";
}

// --- Shards, merge and CI files ----------------------------------------------------------------

TEST(RunnerShards, ThreeShardsAndParallelRunsGiveTheUnshardedResults) {
    for (const char *p : {"zlib_roundtrip_locked", "gzip_stream_locked", "download_progress"})
        if (!file_exists(program_path(p)))
            GTEST_SKIP() << p << " is not part of this build";
    const std::string programs = " zlib_roundtrip_locked gzip_stream_locked";
    run_options_t o;
    o.timeout_seconds = 240;
    // Shard 3 of 3 of 2 programs x 2 repeats; shard 3 of 7 of 1 x 1 is empty and passes.
    o.args = {"-c",
              "r=\"$0\"; for k in 1 2 3; do \"$r\" run --repeat 2 --shard $k/3 --out s$k" +
                  programs +
                  " || exit 10; done; "
                  "\"$r\" run --repeat 2 --out whole" +
                  programs +
                  " || exit 11; "
                  "\"$r\" run --repeat 2 --jobs 3 --out parallel" +
                  programs +
                  " || exit 14; "
                  // Two window runs that must take turns, while the other job goes on.
                  "\"$r\" run --repeat 2 --jobs 2 --out window download_progress "
                  "zlib_roundtrip_locked || exit 15; "
                  "\"$r\" merge --out merged s1 s2 s3 > merge.out || exit 12; "
                  "TEST_SHARD_INDEX=2 TEST_TOTAL_SHARDS=7 TEST_SHARD_STATUS_FILE=status "
                  "\"$r\" run --out empty zlib_roundtrip_locked || exit 13; "
                  "\"$r\" run --tool helgrind --shard 1/9 --out other zlib_roundtrip_locked; "
                  "\"$r\" merge --out bad s1 other; echo $? > bad.status",
              CORPUS_RUNNER};
    run_result_t r = run_program("/bin/sh", o);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    auto window = nlohmann::json::parse(read_file(r.dir + "/window/native/results.json"));
    ASSERT_EQ(window["programs"].size(), 2u);
    for (const auto &p : window["programs"])
        EXPECT_EQ(p["passed"], 2) << p["program"] << ": " << p["problems"];
    auto whole = nlohmann::json::parse(read_file(r.dir + "/whole/native/results.json"));
    for (const char *other : {"/merged/native/results.json", "/parallel/native/results.json"}) {
        auto j = nlohmann::json::parse(read_file(r.dir + other));
        ASSERT_EQ(j["programs"].size(), whole["programs"].size()) << other;
        for (size_t i = 0; i < whole["programs"].size(); ++i)
            for (const char *field :
                 {"program", "runs", "passed", "verdict", "ok", "markers", "outputs", "problems"})
                EXPECT_EQ(j["programs"][i][field], whole["programs"][i][field]) << other << field;
    }
    EXPECT_TRUE(file_exists(r.dir + "/status"));
    auto empty = nlohmann::json::parse(read_file(r.dir + "/empty/native/results.json"));
    EXPECT_EQ(empty["programs"].size(), 0u);
    EXPECT_EQ(empty["shard"], "3/7");
    EXPECT_EQ(read_file(r.dir + "/bad.status"), "2\n") << "different modes must not merge";
    // The JUnit file is well-formed enough for CI: one test case per program, no failure.
    std::string junit = read_file(r.dir + "/merged/native/junit.xml");
    EXPECT_EQ(junit.find("<failure"), std::string::npos) << junit;
    size_t cases = 0;
    for (size_t at = 0; (at = junit.find("<testcase ", at)) != std::string::npos; ++at)
        ++cases;
    EXPECT_EQ(cases, 2u) << junit;
}

TEST(RunnerShards, AResultsFileOfTheWrongShapeIsNamedWithItsField) {
    if (!xml_single_built())
        GTEST_SKIP() << "xml_single is not part of this build";
    run_options_t o;
    o.args = {"run", "--out", "good", "xml_single"};
    run_result_t good = run_program(CORPUS_RUNNER, o);
    ASSERT_EQ(good.status, 0) << good.out << good.err;
    const auto j = nlohmann::json::parse(read_file(good.dir + "/good/native/results.json"));
    auto names_only = j, mistyped = j;
    names_only["programs"] = {"xml_single"};
    mistyped["programs"][0]["record"]["runs"] = "one";
    for (const auto &[name, broken, field] :
         {std::tuple{"names", names_only, "field /programs/0 is a string, expected an object"},
          std::tuple{"types", mistyped,
                     "field /programs/0/record/runs is a string, expected a number"}}) {
        o.dir = good.dir;
        o.files = {{std::string(name) + "/native/results.json", broken.dump()}};
        std::filesystem::create_directories(good.dir + "/" + name + "/native");
        o.args = {"merge", "--out", std::string("merged-") + name, "good", name};
        run_result_t r = run_program(CORPUS_RUNNER, o);
        EXPECT_EQ(r.status, 2) << r.out << r.err;
        EXPECT_NE(r.err.find(std::string(name) + "/native/results.json: " + field),
                  std::string::npos)
            << r.err;
    }
}

// --- Traces ------------------------------------------------------------------------------------

TEST(RunnerTrace, LeavesTheOutputAloneAndCatchesABrokenLock) {
    if (!file_exists(program_path("xml_fanout_locked")) ||
        !file_exists(program_path("gzip_stream_locked")))
        GTEST_SKIP() << "the XML and gzip programs are not part of this build";
    // Programs whose output does not depend on the threads' timing: the same bytes, status
    // and files with the trace as without it.
    for (const char *name : {"xml_single", "zlib_roundtrip_locked", "gzip_stream_locked"}) {
        run_options_t o;
        o.files["FirstTest.xml"] = read_file(CORPUS_SOURCE_DIR "/samples/FirstTest.xml");
        run_result_t plain = run_program(name, o);
        o.env["CORPUS_TRACE"] = "trace.txt";
        run_result_t traced = run_program(name, o);
        EXPECT_EQ(traced.out, plain.out) << name;
        EXPECT_EQ(traced.err, plain.err) << name;
        EXPECT_EQ(traced.status, plain.status) << name;
        EXPECT_NE(read_file(traced.dir + "/trace.txt").find(" enter\n"), std::string::npos) << name;
    }
    // With its mutex made a no-op, the serialized XML program's lock sections overlap: the
    // trace fails the row, which passes on the same output contract otherwise. The no-op
    // library reaches the program alone, through the environment of its manifest entry.
    nlohmann::json m = nlohmann::json::parse(read_file(CORPUS_MANIFEST));
    nlohmann::json entry;
    for (const auto &e : m["programs"])
        if (e["program"] == "xml_fanout_locked")
            entry = e;
    entry["env"] = {{"LD_PRELOAD", CORPUS_NO_LOCK}, {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
    entry["twin"] = nullptr;
    run_options_t o;
    o.timeout_seconds = 120;
    o.files["broken.json"] = nlohmann::json{{"programs", {entry}}}.dump();
    o.args = {"-c",
              "\"$0\" run --trace --out good xml_fanout_locked > good.out; echo $? > good.status; "
              "\"$0\" run --trace --manifest broken.json --out broken > broken.out; "
              "echo $? > broken.status",
              CORPUS_RUNNER};
    run_result_t r = run_program("/bin/sh", o);
    EXPECT_EQ(read_file(r.dir + "/good.status"), "0\n") << read_file(r.dir + "/good.out");
    EXPECT_EQ(read_file(r.dir + "/broken.status"), "1\n") << read_file(r.dir + "/broken.out");
    EXPECT_NE(read_file(r.dir + "/broken.out").find("lock sections overlap"), std::string::npos)
        << read_file(r.dir + "/broken.out");
    auto j = nlohmann::json::parse(read_file(r.dir + "/good/native/results.json"));
    EXPECT_EQ(j["programs"][0]["trace"]["runs"][0]["lock_max_held"], 1);
    EXPECT_TRUE(file_exists(r.dir + "/good/native/index.html"));
    EXPECT_TRUE(file_exists(r.dir + "/good/native/" +
                            j["programs"][0]["trace"]["timeline"].get<std::string>()));
}

// A score over a run that failed its contract, or over a program that was not built, exits 1
// and says which; the scorecard shows the failed runs.
TEST(RunnerFailures, ScoreFailsOnFailedRunsAndPrograms) {
    SKIP_WITHOUT_VALGRIND();
    run_options_t o;
    o.timeout_seconds = 120;
    o.files["m.json"] = R"({"programs": [
        {"program": "crashes", "executable": "/bin/false", "check": {"kind": "exit", "status": 0},
         "race": null},
        {"program": "absent", "executable": "no-such-program", "check": {"kind": "exit",
         "status": 0}, "race": null}]})";
    o.args = {"score", "--tool", "helgrind", "--manifest", "m.json", "--bin", ".", "--out", "out"};
    run_result_t r = run_program(CORPUS_RUNNER, o);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("crashes: its contract failed in 1 of 1 runs"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("absent: not built"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("FAIL 1/1 runs"), std::string::npos) << r.out;
}

// JSON nested 100,000 deep (a manifest, a ledger, a results file to merge) is refused with
// status 2 naming the file, never a crash.
TEST(RunnerFailures, DeeplyNestedJsonIsRefusedNamingItsFile) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    run_options_t o;
    o.files["deep.json"] = "{\"programs\": " + deep + "}";
    o.files["l.json"] = "{\"findings\": " + deep + "}";
    o.files["r/native/results.json"] = "{\"tool\": " + deep + "}";
    for (std::vector<std::string> args :
         {std::vector<std::string>{"list", "--manifest", "deep.json"},
          {"run", "--ledger", "l.json", "--out", "out", "xml_single"},
          {"merge", "--out", "merged", "r"}}) {
        o.args = args;
        run_result_t r = run_program(CORPUS_RUNNER, o);
        EXPECT_EQ(r.status, 2) << args[0] << ": " << r.err;
        EXPECT_NE(r.err.find("nested deeper"), std::string::npos) << args[0] << ": " << r.err;
    }
}

// A runner killed outright leaves its program's children running; the next runner on the same
// --out ends them before it begins.
TEST(RunnerFailures, ARunnerEndsWhatAKilledOneLeftRunning) {
    run_options_t o;
    o.timeout_seconds = 120;
    o.files["m.json"] = R"({"programs": [
        {"program": "slow", "executable": "slow.sh", "check": {"kind": "exit", "status": 0},
         "race": null},
        {"program": "quick", "executable": "/bin/true", "check": {"kind": "exit", "status": 0},
         "race": null}]})";
    // The program starts a child of its own that outlives it.
    o.files["slow.sh"] = "#!/bin/sh\nsleep 60 &\necho $! > ../../../../../child\nwait\n";
    o.args = {
        "-c",
        "chmod +x slow.sh && \"$0\" run --manifest m.json --bin . --out out --timeout 90 slow "
        "> /dev/null 2>&1 & r=$!; "
        "for i in $(seq 100); do [ -s child ] && break; sleep 0.1; done; "
        "kill -9 $r; sleep 0.5; c=$(cat child); "
        "alive() { [ -e /proc/$1 ] && [ \"$(cut -d' ' -f3 /proc/$1/stat)\" != Z ]; }; "
        "alive $c || exit 3; "
        "\"$0\" run --manifest m.json --bin . --out out quick > /dev/null 2> err.txt; "
        "sleep 0.5; alive $c && exit 4; grep -q 'a killed runner left' err.txt || exit 5",
        CORPUS_RUNNER};
    run_result_t r = run_program("/bin/sh", o);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// When the loader will not preload the schedule noise into a program (it says so on the
// program's standard error), the runner fails with status 2 naming it: the program is not
// blamed, and no run without the noise is recorded as one with it.
TEST(RunnerFailures, ScheduleNoiseTheLoaderRefusesIsTheRunnersFailure) {
    run_options_t o;
    o.files["m.json"] = R"({"programs": [{"program": "refused", "executable": "refused.sh",
        "check": {"kind": "exit", "status": 0}, "race": null}]})";
    // What ld.so prints when it cannot preload a library, for the library it was given.
    o.files["refused.sh"] = "#!/bin/sh\necho \"ERROR: ld.so: object '${LD_PRELOAD%%:*}' from "
                            "LD_PRELOAD cannot be preloaded (wrong ELF class: ELFCLASS64): "
                            "ignored.\" >&2\n";
    o.args = {"-c",
              "chmod +x refused.sh && \"$0\" run --perturb 7 --manifest m.json --bin . --out out",
              CORPUS_RUNNER};
    run_result_t r = run_program("/bin/sh", o);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("could not be preloaded into refused"), std::string::npos) << r.err;
}

// A detector added as a file: its command wraps each run and its SARIF is read as its reports;
// a faulty file is a usage error that names the file and the field.
TEST(Detectors, AFileAddsADetectorAndAFaultyOneIsAUsageError) {
    if (!xml_single_built())
        GTEST_SKIP() << "xml_single is not part of this build";
    run_options_t o;
    o.files["fake.json"] = R"({"name": "fake", "help": "hands over one report",
        "command": ["/bin/sh", "{detector_dir}/fake.sh", "{report}"],
        "report": {"format": "sarif", "file": "fake.sarif"}, "race_kinds": ["data race"]})";
    o.files["fake.sh"] = "report=$1; shift; \"$@\"; s=$?\n"
                         "cp \"$(dirname \"$0\")/one.sarif\" \"$report\"; exit $s\n";
    o.files["one.sarif"] = R"({"version": "2.1.0", "runs": [{"results": [{"ruleId": "r",
        "properties": {"kind": "data race"}, "codeFlows": [{"threadFlows": [{"locations": [
        {"location": {"message": {"text": "main"}, "physicalLocation": {"artifactLocation":
        {"uri": "file://)" CORPUS_SOURCE_DIR R"(/xml/xml_single.cpp"}, "region": {"startLine": 5}}}}
        ]}]}]}, {"ruleId": "r", "properties": {"kind": "data race"}, "codeFlows": [{"threadFlows":
        [{"locations": [{"location": {"properties": {"function": "lib_call", "object": "libfake.so"}}},
        {"location": {"properties": {"function": "__tsan_write4", "object": "libtsan.so.2"}}}]}]}]}
        ]}]})";
    o.args = {"run", "--detector", "fake.json", "--tool", "fake", "--out", "out", "xml_single"};
    run_result_t r = run_program(CORPUS_RUNNER, o);
    EXPECT_EQ(r.status, 1) << "a report in our own code fails the race-free program\n"
                           << r.out << r.err;
    EXPECT_NE(r.out.find("xml_single: fake report in own code: data race at main"),
              std::string::npos)
        << r.out;
    const std::string json = read_file(r.dir + "/out/fake/results.json");
    EXPECT_NE(json.find("\"detector_file\": \"" + r.dir + "/fake.json\""), std::string::npos);
    // A merge reads the library report past ThreadSanitizer's runtime frame, as the run did.
    const std::string library = "fake unjudged library report: data race at lib_call (libfake.so)";
    EXPECT_NE(r.out.find(library), std::string::npos) << r.out;
    run_options_t m;
    m.dir = r.dir;
    m.args = {"merge", "--out", "merged", "out"};
    run_result_t merged = run_program(CORPUS_RUNNER, m);
    EXPECT_EQ(merged.status, 1) << merged.err;
    EXPECT_NE(merged.out.find(library), std::string::npos) << merged.out;

    for (const auto &[file, field] : std::vector<std::pair<std::string, std::string>>{
             {R"({"name": "odd", "help": "h", "race_kinds": ["x"], "report": {"format": "xml",
                 "file": "r"}})",
              "\"report.format\""},
             {R"({"name": "tsan", "help": "h", "race_kinds": ["x"], "report": {"format": "sarif",
                 "file": "r"}})",
              "\"name\": a detector tsan is already known"},
             {R"({"name": "odd", "help": "h", "report": {"format": "sarif", "file": "r"}})",
              "\"race_kinds\""}}) {
        run_options_t bad;
        bad.files["bad.json"] = file;
        bad.args = {"run", "--detector", "bad.json", "--out", "out", "xml_single"};
        run_result_t b = run_program(CORPUS_RUNNER, bad);
        EXPECT_EQ(b.status, 2) << b.err;
        EXPECT_NE(b.err.find("bad.json: field " + field), std::string::npos) << b.err;
        EXPECT_FALSE(file_exists(b.dir + "/out"));
    }
    run_options_t none;
    none.args = {"run", "--detector", "missing.json", "--out", "out", "xml_single"};
    run_result_t n = run_program(CORPUS_RUNNER, none);
    EXPECT_EQ(n.status, 2) << n.err;
    EXPECT_NE(n.err.find("missing.json: no such detector file"), std::string::npos) << n.err;
    // A detector that leaves no report has not checked the run.
    run_options_t silent;
    silent.files["silent.json"] = R"({"name": "silent", "help": "writes nothing",
        "command": ["/bin/sh", "-c", "exec \"$@\"", "sh"],
        "report": {"format": "sarif", "file": "none.sarif"}, "race_kinds": ["data race"]})";
    silent.args = {"run",    "--detector", "silent.json", "--tool",
                   "silent", "--out",      "out",         "xml_single"};
    run_result_t q = run_program(CORPUS_RUNNER, silent);
    EXPECT_EQ(q.status, 1) << q.out << q.err;
    EXPECT_NE(q.out.find("none.sarif missing"), std::string::npos) << q.out;
}
