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

namespace {
// The greeting's lines as read: the greetings by thread number, and the thread-count lines.
struct greeting_t {
    std::map<int, int> greeted;
    int count_lines = 0, team = -1;
    bool count_before_zero = false; // the count came before thread 0's greeting
};
} // namespace

// Reads the lines from `first` on: greetings and the thread count; anything else fails.
static greeting_t read_greeting(check_result_t &c, const output_lines_t &out, size_t first) {
    const std::string hello = contract::omp_greeting_prefix, count = contract::omp_count_prefix;
    greeting_t g;
    bool zero_seen = false;
    for (size_t i = first; i < out.lines.size(); ++i) {
        // Every line it expects is short; a longer one is unexpected whatever it holds.
        const std::string l =
            line_text(out, out.lines[i]).value_or(output_head(out, out.lines[i]) + "...");
        if (l.compare(0, hello.size(), hello) == 0) {
            int n = atoi(l.c_str() + hello.size());
            if (l != hello + std::to_string(n))
                fail(c, "malformed greeting " + shown(l));
            ++g.greeted[n];
            zero_seen = zero_seen || n == 0;
        } else if (l.compare(0, count.size(), count) == 0) {
            ++g.count_lines;
            g.team = atoi(l.c_str() + count.size());
            g.count_before_zero = !zero_seen;
        } else {
            fail(c, "unexpected line " + shown(l));
        }
    }
    return g;
}

// In the racy twin a greeting may show another thread's number: thread 0's greeting cannot be
// told, and the numbers need only be the team's.
static void check_racy_greetings(check_result_t &c, const greeting_t &g, int want_team) {
    int greetings = 0;
    for (const auto &[n, times] : g.greeted) {
        greetings += times;
        if (n < 0 || n >= want_team)
            fail(c, "greeting from thread " + std::to_string(n) + ", not one of 0 to " +
                        std::to_string(want_team - 1));
    }
    if (greetings != want_team)
        fail(c, std::to_string(greetings) + " greetings, expected " + std::to_string(want_team));
    c.outputs = std::to_string(greetings) + " greetings";
}

void check_omp_hello(check_result_t &c, const program_t &p, const run_output_t &r,
                     const output_lines_t &out) {
    check_exit(c, r);
    check_no_stderr(c, r);
    c.markers = "-";
    size_t first = 0;
    if (p.check.first_line) {
        const std::string &want = *p.check.first_line;
        if (out.lines.empty() || !line_is(out.lines[0], want))
            fail(c, "first line is not " + shown(want));
        first = 1;
    }
    const greeting_t g = read_greeting(c, out, first);
    const bool racy = p.variant == variant_t::racy;
    if (g.count_lines != 1)
        fail(c, std::to_string(g.count_lines) + " thread-count lines, expected 1");
    else if (g.count_before_zero && !racy)
        fail(c, "the thread-count line comes before thread 0's greeting");
    const int want_team = int(p.check.threads);
    if (g.team != want_team)
        fail(c, "team of " + std::to_string(g.team) + " threads, expected " +
                    std::to_string(want_team));
    if (racy)
        return check_racy_greetings(c, g, want_team);
    bool complete = int(g.greeted.size()) == want_team;
    for (int t = 0; t < want_team; ++t)
        complete = complete && g.greeted.count(t) && g.greeted.at(t) == 1;
    if (!complete)
        fail(c, "greetings are not exactly one from each thread 0 to " +
                    std::to_string(want_team - 1));
    c.outputs = std::to_string(g.greeted.size()) + " greetings";
}
