#include "check_kit.h"

#include <map>
#include <stdexcept>

// --- OpenMP greeting ------------------------------------------------------------------------

void read_omp(const nlohmann::json &check, const program_t &, check_spec_t &s) {
    s.threads = required_count(check, "threads", false);
    if (check.contains("first_line") && !check["first_line"].is_string())
        throw std::runtime_error("check parameter \"first_line\" must be a string");
    if (check.contains("first_line"))
        s.first_line = check["first_line"].get<std::string>();
}

void check_omp_hello(check_result_t &c, const program_t &p, const run_output_t &r,
                     const output_lines_t &out) {
    check_exit(c, r);
    check_no_stderr(c, r);
    c.markers = "-";
    const auto &lines = out.lines;
    size_t first = 0;
    if (p.check.first_line) {
        const std::string &want = *p.check.first_line;
        if (lines.empty() || !line_is(lines[0], want))
            fail(c, "first line is not " + shown(want));
        first = 1;
    }
    const std::string hello = contract::omp_greeting_prefix, count = contract::omp_count_prefix;
    std::map<int, int> greeted;
    int count_lines = 0, team = -1;
    bool zero_seen = false, count_before_zero = false;
    for (size_t i = first; i < lines.size(); ++i) {
        // Every line it expects is short; a longer one is unexpected whatever it holds.
        const std::string l = line_text(out, lines[i]).value_or(output_head(out, lines[i]) + "...");
        if (l.compare(0, hello.size(), hello) == 0) {
            int n = atoi(l.c_str() + hello.size());
            if (l != hello + std::to_string(n))
                fail(c, "malformed greeting " + shown(l));
            ++greeted[n];
            zero_seen = zero_seen || n == 0;
        } else if (l.compare(0, count.size(), count) == 0) {
            ++count_lines;
            team = atoi(l.c_str() + count.size());
            count_before_zero = !zero_seen;
        } else {
            fail(c, "unexpected line " + shown(l));
        }
    }
    // In the racy twin a greeting may show another thread's number: thread 0's greeting cannot
    // be told, and the numbers need only be the team's.
    const bool racy = p.variant == variant_t::racy;
    if (count_lines != 1)
        fail(c, std::to_string(count_lines) + " thread-count lines, expected 1");
    else if (count_before_zero && !racy)
        fail(c, "the thread-count line comes before thread 0's greeting");
    const int want_team = int(p.check.threads);
    if (team != want_team)
        fail(c,
             "team of " + std::to_string(team) + " threads, expected " + std::to_string(want_team));
    if (racy) {
        int greetings = 0;
        for (const auto &[n, times] : greeted) {
            greetings += times;
            if (n < 0 || n >= want_team)
                fail(c, "greeting from thread " + std::to_string(n) + ", not one of 0 to " +
                            std::to_string(want_team - 1));
        }
        if (greetings != want_team)
            fail(c,
                 std::to_string(greetings) + " greetings, expected " + std::to_string(want_team));
        c.outputs = std::to_string(greetings) + " greetings";
        return;
    }
    bool complete = int(greeted.size()) == want_team;
    for (int t = 0; t < want_team; ++t)
        complete = complete && greeted.count(t) && greeted.at(t) == 1;
    if (!complete)
        fail(c, "greetings are not exactly one from each thread 0 to " +
                    std::to_string(want_team - 1));
    c.outputs = std::to_string(greeted.size()) + " greetings";
}
