#include "run_program.h"

#include <gtest/gtest.h>

static std::string creation_lines(int count) {
    std::string s;
    for (int i = 0; i < count; ++i)
        s += "main() : creating thread, " + std::to_string(i) + "\n";
    return s;
}

TEST(Launcher, StartsTenWorkersInOrderAndWaitsForThem) {
    run_result_t r = run_program(LAUNCHER_PROBE);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    std::string creations;
    for (const auto &l : split_lines(r.out))
        if (l.rfind("main() : creating thread, ", 0) == 0)
            creations += l + "\n";
    EXPECT_EQ(creations, creation_lines(10));
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
