// The runner end to end on the cheapest program, and its failures.
#include "run_program.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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
              "--timeout",   "1",
              "xml_single"};
    run_result_t r = run_program("/bin/sh", o);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("did not finish within its time limit"), std::string::npos) << r.out;
    std::string pid = read_file(r.dir + "/out/native/runs/xml_single/1/child.pid");
    ASSERT_FALSE(pid.empty());
    // Gone, or a zombie waiting for its new parent to reap it.
    std::string stat = read_file("/proc/" + pid.substr(0, pid.find('\n')) + "/stat");
    size_t state = stat.rfind(") ");
    EXPECT_TRUE(stat.empty() || (state != std::string::npos && stat[state + 2] == 'Z'))
        << "the program's child outlived the run: " << stat;
}

TEST(Runner, DownloadRunsUnderXvfbAndIsStoppedWhenTheFileIsWhole) {
    if (!file_exists(program_path("download_progress")))
        GTEST_SKIP() << "download_progress is not part of this build";
    run_options_t o;
    o.timeout_seconds = 180;
    o.args = {"run", "--out", "out", "download_progress"};
    run_result_t r = run_program(CORPUS_RUNNER, o);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("test.curl ok, bar full"), std::string::npos) << r.out;
    const std::string dir = r.dir + "/out/native/runs/download_progress/1/";
    EXPECT_EQ(read_file(dir + "test.curl"), read_file(CORPUS_SOURCE_DIR "/samples/download.txt"));
    EXPECT_TRUE(file_exists(dir + "shot.png"));
}

TEST(Runner, HelgrindSmoke) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
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
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "valgrind cannot run a sanitizer build";
#endif
    if (!file_exists("/usr/bin/valgrind"))
        GTEST_SKIP() << "needs valgrind";
    // A one-entry manifest for the racy probe, whose output passes the greeting check.
    run_options_t o;
    o.timeout_seconds = 240;
    o.files["manifest.json"] = R"({"verdict": "no data race in the corpus's own code",
        "programs": [{"program": "race_probe", "subsystem": "test", "library": "none",
        "variant": "unserialized", "twin": null, "markers": null, "inputs": [], "outputs": [],
        "check": {"kind": "omp_hello", "threads": 1}, "rationale": "none"}]})";
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
}
