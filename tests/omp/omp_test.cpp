#include "contract.h"
#include "run_program.h"

#include <algorithm>
#include <gtest/gtest.h>

// Sets `n` to the number that follows `prefix` in `line`, when that is all the line holds.
static bool number_after(const std::string &line, const std::string &prefix, int &n) {
    if (line.compare(0, prefix.size(), prefix) != 0 || line.size() == prefix.size() ||
        line.find_first_not_of("0123456789", prefix.size()) != std::string::npos)
        return false;
    n = std::stoi(line.substr(prefix.size()));
    return true;
}

// Checks the greetings of a team of `threads` threads (0: whatever the runtime chose) and
// returns the team size that the output shows.
static int check_greetings(const std::string &program, int threads, bool integer_line) {
    run_options_t o;
    if (threads > 0)
        o.env = {{"OMP_NUM_THREADS", std::to_string(threads)}};
    run_result_t r = run_program(program, o);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> lines = split_lines(r.out);
    if (integer_line) {
        EXPECT_FALSE(lines.empty());
        if (lines.empty())
            return 0;
        EXPECT_EQ(lines.front(), "0");
        lines.erase(lines.begin());
    }
    std::vector<int> numbers;
    int count_line = -1, greeting0 = -1, count_lines = 0, reported = -1;
    for (size_t i = 0; i < lines.size(); ++i) {
        int n;
        if (number_after(lines[i], contract::omp_greeting_prefix, n)) {
            numbers.push_back(n);
            if (n == 0)
                greeting0 = static_cast<int>(i);
        } else if (number_after(lines[i], contract::omp_count_prefix, n)) {
            count_line = static_cast<int>(i);
            ++count_lines;
            reported = n;
        } else {
            ADD_FAILURE() << "unexpected line: " << lines[i];
        }
    }
    int team = static_cast<int>(numbers.size());
    if (threads > 0) {
        EXPECT_EQ(team, threads);
    }
    std::sort(numbers.begin(), numbers.end());
    for (int i = 0; i < team; ++i)
        EXPECT_EQ(numbers[i], i);
    EXPECT_EQ(count_lines, 1);
    EXPECT_GE(greeting0, 0);
    EXPECT_GT(count_line, greeting0);
    EXPECT_EQ(reported, team);
    return team;
}

TEST(OmpHello, GreetingsForTeamsOfOneTwoAndSeveral) {
    for (int t : {1, 2, 7}) {
        SCOPED_TRACE(t);
        check_greetings("omp_hello_critical", t, true);
        check_greetings("omp_hello", t, false);
    }
}

TEST(OmpHello, DefaultTeamReportsItsOwnSize) {
    EXPECT_GE(check_greetings("omp_hello_critical", 0, true), 1);
    EXPECT_GE(check_greetings("omp_hello", 0, false), 1);
}
