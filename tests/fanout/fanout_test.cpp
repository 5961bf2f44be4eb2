#include "expect_lines.h"
#include "run_program.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

TEST(Launcher, StartsTenWorkersInOrderAndWaitsForThem) {
    run_result_t r = run_program(LAUNCHER_PROBE);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines_with_prefix(r.out, creation_prefix), creation_lines(10));
    EXPECT_EQ(count_lines(r.out, "lock worker"), 10);
    EXPECT_EQ(count_lines(r.out, "finished 10"), 1);
    EXPECT_EQ(count_prefixed(r.out, "Result is"), 0);
    EXPECT_EQ(count_prefixed(r.out, "Error:"), 0);
    EXPECT_EQ(split_lines(r.out).back(), "finished 10");
}

TEST(Launcher, ReportsEachStartResultWhenAsked) {
    run_options_t o;
    o.args = {"--report"};
    run_result_t r = run_program(LAUNCHER_PROBE, o);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count_lines(r.out, "Result is 0"), 10);
}

// A start that fails at index k: k+1 creation lines, the error line with EAGAIN (11), status
// 255, and the k workers already started still finish their work.
TEST(Launcher, FailedStartReportsWaitsAndExits255) {
    for (int k : {0, 3, 9}) {
        SCOPED_TRACE(k);
        run_options_t o;
        o.args = {"--report"};
        o.preload = {fault_library_path()};
        o.env = {{"FAULT_PTHREAD_CREATE", std::to_string(k + 1)}};
        run_result_t r = run_program(LAUNCHER_PROBE, o);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.status, 255);
        // The main thread's own lines, with the workers' lines taken out.
        std::string main_lines, expected;
        for (const auto &l : split_lines(r.out))
            if (l != "lock worker")
                main_lines += l + "\n";
        for (int i = 0; i <= k; ++i)
            expected += "main() : creating thread, " + std::to_string(i) + "\nResult is " +
                        (i < k ? "0" : "11") + "\n";
        expected += "Error:unable to create thread,11\n";
        EXPECT_EQ(main_lines, expected);
        EXPECT_EQ(count_lines(r.out, "lock worker"), k);
        EXPECT_EQ(count_prefixed(r.out, "finished"), 0);
    }
}

// The test support itself: a preload keeps the sanitizer options already given, and an empty
// value takes a variable out of the program's environment.
TEST(RunProgram, PreloadAddsToTheSanitizerOptionsAndEmptyValuesUnset) {
    setenv("RUN_PROGRAM_PROBE", "inherited", 1);
    run_options_t o;
    o.args = {"-c", "echo \"$ASAN_OPTIONS\" \"${RUN_PROGRAM_PROBE-unset}\""};
    o.env = {{"ASAN_OPTIONS", "detect_leaks=1"}, {"RUN_PROGRAM_PROBE", ""}};
    o.preload = {fault_library_path()};
    run_result_t r = run_program("/bin/sh", o);
    unsetenv("RUN_PROGRAM_PROBE");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "detect_leaks=1:verify_asan_link_order=0 unset\n");
}

// A started program leads its own process group, reads an empty standard input and writes
// to the files named, in the directory given.
TEST(RunProgram, StartedProgramRunsAloneInItsDirectory) {
    run_options_t o;
    o.dir = make_run_dir();
    o.files = {{"seed", "seeded"}};
    o.args = {"-c", "cat; cat seed; pwd; echo oops >&2"};
    started_program_t p = start_program("/bin/sh", o);
    ASSERT_GT(p.pid, 0);
    EXPECT_EQ(p.dir, o.dir);
    EXPECT_EQ(getpgid(p.pid), p.pid);
    int status = 0;
    ASSERT_EQ(waitpid(p.pid, &status, 0), p.pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(read_file(p.out_path), "seeded" + o.dir + "\n");
    EXPECT_EQ(read_file(p.err_path), "oops\n");
}
