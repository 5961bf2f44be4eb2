#include "check_kit.h"

#include <algorithm>
#include <stdexcept>

void fail(check_result_t &c, const std::string &problem) {
    c.ok = false;
    c.problems.push_back(problem);
}

// A line's head is longer than what a message shows, so a cut line is marked as such.
std::string shown_line(const output_lines_t &d, const output_line_t &l) {
    return shown(output_head(d, l));
}

std::string shown(std::string_view s) {
    const size_t max = 60;
    std::string q;
    for (char ch : s.substr(0, max)) {
        if (ch == '\n')
            q += "\\n";
        else if (static_cast<unsigned char>(ch) < 32 || static_cast<unsigned char>(ch) > 126)
            q += '?';
        else
            q += ch;
    }
    return "\"" + q + (s.size() > max ? "...\"" : "\"");
}

// Lines are compared by a 64-bit hash of their bytes, so that the runner never holds more
// than one copy of a long output, nor builds the expected output as text (FNV-1a).
uint64_t line_hash(std::string_view s) {
    return fnv1a(s);
}

bool line_is(const output_line_t &l, std::string_view text) {
    return l.length == text.size() && l.hash == line_hash(text);
}

int count_line(const output_lines_t &out, const std::string &line) {
    const uint64_t h = line_hash(line);
    int n = 0;
    for (const auto &l : out.lines)
        n += l.hash == h && l.length == line.size();
    return n;
}

// Exit status 0 after a normal end.
void check_exit(check_result_t &c, const run_output_t &r) {
    if (r.timed_out)
        fail(c, "did not finish within its time limit");
    else if (!r.exited)
        fail(c, "killed by signal " + std::to_string(r.signal));
    else if (r.status != 0)
        fail(c, "exit status " + std::to_string(r.status));
}

// The whole standard output, for the checks that compare its bytes; null (and a failure) when
// it was too long to be kept.
const std::string *whole_output(check_result_t &c, const run_output_t &r,
                                const output_lines_t &out) {
    if (r.out_whole)
        return &r.out;
    fail(c, "standard output of " + std::to_string(out.size) + " bytes, more than the " +
                std::to_string(kept_output_bytes) + " this check compares");
    return nullptr;
}

void check_no_stderr(check_result_t &c, const run_output_t &r) {
    if (!r.err.empty())
        fail(c, "standard error not empty: " + shown(text_lines(r.err).front()));
}

// The lines are the expected ones in some order: lines of different threads interleave freely,
// but each line is printed whole.
// With `unindented`, lines are compared without their indentation.
void check_same_lines(check_result_t &c, const output_lines_t &actual,
                      const expected_lines_t &expected, bool unindented) {
    std::map<uint64_t, long> diff;
    std::map<uint64_t, std::string> actual_text;
    for (const auto &l : actual.lines) {
        uint64_t h = unindented ? l.text_hash : l.hash;
        ++diff[h];
        if (!expected.shown_text.count(h) && !actual_text.count(h))
            actual_text[h] = unindented ? shown(actual.heads.at(h)) : shown_line(actual, l);
    }
    for (uint64_t h : expected.hashes)
        --diff[h];
    const size_t most = 20; // the rest would only repeat the point
    size_t told = 0;
    for (const auto &[h, n] : diff) {
        if (n == 0)
            continue;
        if (++told > most) {
            fail(c, "... and more lines that differ");
            break;
        }
        auto text = expected.shown_text.count(h) ? expected.shown_text.at(h) : actual_text[h];
        if (n > 0)
            fail(c, std::to_string(n) + " unexpected line(s) " + text);
        else
            fail(c, std::to_string(-n) + " missing line(s) " + text);
    }
}

void check_same_lines(check_result_t &c, const output_lines_t &actual,
                      const std::vector<std::string> &expected) {
    expected_lines_t e;
    for (const auto &l : expected)
        e.add(l);
    check_same_lines(c, actual, e);
}

std::vector<std::string> launcher_lines(bool results) {
    std::vector<std::string> lines;
    for (int i = 0; i < workers; ++i) {
        lines.push_back(creating + std::to_string(i));
        if (results)
            lines.push_back(result_line);
    }
    return lines;
}

bool is_launcher_line(const output_lines_t &out, const output_line_t &l) {
    return line_starts_with(out, l, creating) || line_starts_with(out, l, contract::result_prefix);
}

// The ten creation lines come in index order.
void check_launcher_order(check_result_t &c, const output_lines_t &out) {
    std::vector<uint64_t> seen, want;
    for (const auto &l : out.lines)
        if (line_starts_with(out, l, creating))
            seen.push_back(l.hash);
    for (int i = 0; i < workers; ++i)
        want.push_back(line_hash(creating + std::to_string(i)));
    if (seen != want)
        fail(c, "the creation lines are not indices 0 to 9 in order");
}

std::string marker_summary(const output_lines_t &lines, const program_t &p) {
    std::string s;
    for (const auto &m : {p.open_marker, p.close_marker}) {
        if (m.empty())
            continue;
        if (!s.empty())
            s += " ";
        s += std::to_string(count_line(lines, m)) + " " + m;
    }
    return s.empty() ? "-" : s;
}

void check_marker_counts(check_result_t &c, const output_lines_t &lines, const program_t &p,
                         int want) {
    for (const auto &m : {p.open_marker, p.close_marker}) {
        if (m.empty())
            continue;
        int n = count_line(lines, m);
        if (n != want)
            fail(c, std::to_string(n) + " \"" + m + "\" markers, expected " + std::to_string(want));
    }
    c.markers = marker_summary(lines, p);
}

// Each worker prints its closing marker after its opening one, so no prefix of the output holds
// more closing than opening markers.
void check_marker_pairs(check_result_t &c, const output_lines_t &lines, const program_t &p) {
    int open = 0;
    for (const auto &l : lines.lines) {
        open += line_is(l, p.open_marker);
        if (line_is(l, p.close_marker) && --open < 0) {
            fail(c,
                 "a \"" + p.close_marker + "\" marker comes before its \"" + p.open_marker + "\"");
            return;
        }
    }
}

std::string input(const run_output_t &r, const std::string &name) {
    auto it = r.inputs.find(name);
    return it == r.inputs.end() ? "" : it->second;
}

// --- Parameters -----------------------------------------------------------------------------
// Each check kind validates its own parameters and files when the manifest is read; a missing
// or mistyped one is an error of the manifest, not a default that would let the check pass.

unsigned required_count(const nlohmann::json &check, const char *key, bool zero_allowed) {
    auto it = check.find(key);
    if (it == check.end())
        throw std::runtime_error(std::string("check needs \"") + key + "\"");
    if (!it->is_number_integer() || it->get<long long>() < (zero_allowed ? 0 : 1) ||
        it->get<long long>() > 100000)
        throw std::runtime_error(std::string("check parameter \"") + key + "\" must be a " +
                                 (zero_allowed ? "non-negative" : "positive") + " integer");
    return unsigned(it->get<long long>());
}

void require_listed(const std::vector<std::string> &names, const char *what) {
    if (names.empty() || names[0].empty())
        throw std::runtime_error(std::string("check needs a file in \"") + what + "\"");
}

// The lines are exactly `want`, in order.
bool lines_are(const output_lines_t &out, const std::vector<std::string> &want) {
    return std::equal(out.lines.begin(), out.lines.end(), want.begin(), want.end(),
                      [](const output_line_t &l, const std::string &w) { return line_is(l, w); });
}
