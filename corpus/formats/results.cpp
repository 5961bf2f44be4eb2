#include "results.h"

#include "ci_formats.h"
#include "files.h"
#include "fnv1a.h"
#include "judge.h"
#include "memory.h"
#include "text.h"
#include "timeline.h"
#include "xml_text.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

std::string csv_field(const std::string &v) {
    if (v.find_first_of(",\"\n") == std::string::npos)
        return v;
    std::string q = "\"";
    for (char ch : v)
        q += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return q + "\"";
}

std::string aligned_table(const std::vector<std::vector<std::string>> &all) {
    std::vector<size_t> width(all.at(0).size(), 0);
    for (const auto &line : all)
        for (size_t i = 0; i < line.size(); ++i)
            width[i] = std::max(width[i], line[i].size());
    std::ostringstream s;
    for (size_t n = 0; n < all.size(); ++n) {
        for (size_t i = 0; i < all[n].size(); ++i) {
            s << all[n][i];
            if (i + 1 < all[n].size())
                s << std::string(width[i] - all[n][i].size() + 2, ' ');
        }
        s << "\n";
        if (n == 0) {
            size_t total = 0;
            for (size_t w : width)
                total += w + 2;
            s << std::string(total - 2, '-') << "\n";
        }
    }
    return s.str();
}

// "min/median/max" of the runs' figures.
static std::string spread(std::vector<double> v, int digits) {
    if (v.empty())
        return "-";
    std::sort(v.begin(), v.end());
    const double median =
        v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    return fixed(v.front(), digits) + "/" + fixed(median, digits) + "/" + fixed(v.back(), digits);
}

static std::vector<std::string> trace_cells(const row_t &r) {
    std::vector<double> inside, overlap;
    int held = 0;
    bool any_held = false;
    for (const auto &f : r.traces) {
        inside.push_back(f.inside);
        overlap.push_back(f.overlap);
        if (f.lock_max_held) {
            any_held = true;
            held = std::max(held, *f.lock_max_held);
        }
    }
    return {spread(inside, 0), spread(overlap, 2), any_held ? std::to_string(held) : "-"};
}

static std::vector<std::string> header(const run_settings_t &opt) {
    std::vector<std::string> h{"program", "variant", "runs ok", "markers", "outputs"};
    if (!opt.tool.empty())
        h.insert(h.end(), {"reports", "own", "library"});
    if (opt.trace)
        h.insert(h.end(), {"inside", "overlap", "lock held"});
    h.insert(h.end(), {"time s", "peak MiB", "verdict"});
    return h;
}

static std::vector<std::string> cells(const run_settings_t &opt, const row_t &r) {
    std::vector<std::string> c{r.p->name, variant_name(r.p->variant),
                               r.missing ? "-"
                                         : std::to_string(r.passed) + "/" + std::to_string(r.runs),
                               r.missing ? "-" : r.markers, r.missing ? "-" : r.outputs};
    if (!opt.tool.empty())
        c.insert(c.end(), {std::to_string(r.summary.distinct), std::to_string(r.summary.own),
                           std::to_string(r.summary.library)});
    if (opt.trace) {
        auto t = trace_cells(r);
        c.insert(c.end(), t.begin(), t.end());
    }
    c.push_back(r.runs ? fixed(r.seconds / r.runs, 3) : "-");
    c.push_back(r.runs ? fixed(r.peak_kib / 1024.0, 1) : "-");
    c.push_back(r.verdict);
    return c;
}

// The most problems and unsettled reports a program shows under the table; the rest is in the
// JSON file.
static const size_t shown_problems = 8;

// The table's verdict line: how many programs hold against the manifest.
static std::string verdict_line(const run_settings_t &opt, const std::vector<row_t> &rows) {
    int holding = 0, own = 0, failed = 0;
    bool racy = false;
    // The expected verdicts of the selected programs, quoted when they are all the same.
    std::set<std::string> expected;
    for (const auto &r : rows) {
        holding += r.ok;
        own += r.unexpected_own;
        failed += !r.ok;
        racy = racy || r.p->race.has_value();
        expected.insert(r.p->verdict);
    }
    std::ostringstream line;
    line << "\nVerdict against the manifest";
    if (expected.size() == 1)
        line << " (\"" << *expected.begin() << "\")";
    else
        line << " (verdicts per program, in results.json)";
    line << ": ";
    line << holding << " of " << rows.size() << " programs hold" << (failed ? "; FAILED" : "");
    if (!opt.tool.empty())
        line << " (" << own << " distinct report(s) in our own code"
             << (racy ? " beyond the labelled races" : "") << ")";
    line << "\n";
    return line.str();
}

// A program's lines under the table: its problems, its reports in our own code beyond its
// label, and what no ledger entry judges yet, with the frames an entry would name.
static std::string program_lines(const run_settings_t &opt, const row_t &r) {
    std::ostringstream lines;
    for (size_t i = 0; i < r.problems.size() && i < shown_problems; ++i)
        lines << r.p->name << ": " << r.problems[i] << "\n";
    if (r.problems.size() > shown_problems)
        lines << r.p->name << ": ... and " << r.problems.size() - shown_problems
              << " more problem(s) in results.json\n";
    for (const auto &rep : r.summary.reports)
        if (rep.own && !(r.p->race && report_shows_label(rep, *r.p->race)))
            lines << r.p->name << ": " << opt.tool << " report in own code: " << rep.kind << " at "
                  << rep.where << "\n";
    size_t listed = 0;
    for (const auto &rep : r.summary.reports) {
        const bool ambiguous = rep.judgement == judgement_t::ambiguous;
        if (!unsettled(rep.judgement) || listed++ >= shown_problems)
            continue;
        std::string tops;
        for (const auto &stack : rep.access_stacks)
            tops += (tops.empty() ? "" : " / ") + stack_top_name(stack);
        lines << r.p->name << ": " << opt.tool
              << (ambiguous ? " ambiguous library report (" + rep.finding + "): "
                            : std::string(" unjudged library report: "))
              << rep.kind << " at " << tops << " on " << describe_memory(rep.memory) << "\n";
    }
    if (listed > shown_problems)
        lines << r.p->name << ": ... and " << listed - shown_problems
              << " more unjudged or ambiguous library report(s) in results.json\n";
    return lines.str();
}

std::string run_table(const run_settings_t &opt, const std::vector<row_t> &rows) {
    std::vector<std::vector<std::string>> all{header(opt)};
    for (const auto &r : rows)
        all.push_back(cells(opt, r));
    std::string closing = verdict_line(opt, rows);
    for (const auto &r : rows)
        closing += program_lines(opt, r);
    return aligned_table(all) + closing;
}

std::string text_digest(const std::string &text) {
    char buf[17];
    snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(fnv1a(text)));
    return buf;
}

namespace {
// What the files of a results folder are written from.
struct results_input_t {
    const run_settings_t &opt;
    const std::vector<row_t> &rows;
    const std::string &table;
    const nlohmann::json &provenance;
};

// One output of a results folder beside results.json: the names it takes in the folder (files
// or folders) and what writes them there. Writing, marking stale and merging go through
// results_outputs(); a new format is one function and one line there.
struct results_output_t {
    std::vector<const char *> names;
    void (*write)(const results_input_t &in, const fs::path &dir);
};
} // namespace

static const char *const timeline_dir = "timelines";

static void write_table(const results_input_t &in, const fs::path &dir) {
    write_file((dir / "table.txt").string(), in.table);
}

static void write_csv(const results_input_t &in, const fs::path &dir) {
    std::ostringstream csv;
    auto h = header(in.opt);
    for (size_t i = 0; i < h.size(); ++i)
        csv << (i ? "," : "") << csv_field(h[i]);
    csv << "\n";
    for (const auto &r : in.rows) {
        auto c = cells(in.opt, r);
        for (size_t i = 0; i < c.size(); ++i)
            csv << (i ? "," : "") << csv_field(c[i]);
        csv << "\n";
    }
    write_file((dir / "results.csv").string(), csv.str());
}

static void write_junit(const results_input_t &in, const fs::path &dir) {
    write_file((dir / "junit.xml").string(),
               junit_xml("corpus " + mode_name(in.opt), in.rows, in.opt.tool));
}

// A detector's reports as SARIF; a native run has none to give.
static void write_sarif(const results_input_t &in, const fs::path &dir) {
    const run_settings_t &opt = in.opt;
    if (opt.tool.empty())
        return;
    // The detector's version and suppression files as the runs recorded them (a merge keeps
    // those of its inputs).
    std::vector<std::string> suppressions;
    for (const auto &s : in.provenance.value("suppressions", nlohmann::json::array()))
        suppressions.push_back(s.value("file", ""));
    write_file((dir / "results.sarif").string(),
               json_text(sarif_log(in.rows, opt.tool, in.provenance.value("detector_version", ""),
                                   opt.source_dir, suppressions),
                         2) +
                   "\n");
}

// --trace: one picture per program, and a page that shows them all, twins side by side.
static void write_timelines(const results_input_t &in, const fs::path &dir) {
    if (!in.opt.trace)
        return;
    make_dirs((dir / timeline_dir).string());
    std::vector<timeline_entry_t> entries;
    for (const auto &r : in.rows) {
        if (r.timeline.empty())
            continue;
        write_file((dir / timeline_dir / (r.p->name + ".svg")).string(), r.timeline);
        auto t = trace_cells(r);
        entries.push_back({r.p->name, variant_name(r.p->variant), r.p->twin,
                           std::string(timeline_dir) + "/" + r.p->name + ".svg",
                           "inside " + t[0] + " (min/median/max), overlap " + t[1] +
                               ", lock held at most " + t[2] + "; " + std::to_string(r.runs) +
                               " run(s), the one shown has the "
                               "most threads inside"});
    }
    write_file((dir / "index.html").string(), timeline_index_html(entries));
}

static const std::vector<results_output_t> &results_outputs() {
    static const std::vector<results_output_t> outputs = {
        {{"table.txt"}, write_table},
        {{"results.csv"}, write_csv},
        {{"junit.xml"}, write_junit},
        {{"results.sarif"}, write_sarif},
        {{"index.html", timeline_dir}, write_timelines},
    };
    return outputs;
}

void mark_results_stale(const run_settings_t &opt, const std::string &dir) {
    make_dirs(dir);
    for (const auto &output : results_outputs())
        for (const char *name : output.names)
            remove_all((fs::path(dir) / name).string());
    nlohmann::json j{{"tool", opt.tool.empty() ? "native" : opt.tool},
                     {"suppressed", opt.suppress},
                     {"complete", false}};
    write_file((fs::path(dir) / "results.json").string(), json_text(j, 2) + "\n");
}

// A program's entry in results.json: what people and other tools read, and its record.
static nlohmann::json program_entry(const run_settings_t &opt, const row_t &r) {
    nlohmann::json e{{"program", r.p->name},
                     {"variant", variant_name(r.p->variant)},
                     {"built", !r.missing},
                     {"runs", r.runs},
                     {"passed", r.passed},
                     {"markers", r.markers},
                     {"outputs", r.outputs},
                     {"seconds_mean", r.runs ? r.seconds / r.runs : 0.0},
                     {"wall_seconds", r.wall_seconds},
                     {"peak_kib", r.peak_kib},
                     {"ok", r.ok},
                     {"verdict", r.verdict},
                     {"expected", r.p->verdict},
                     {"problems", r.problems},
                     {"race", r.p->race.has_value()}};
    if (!opt.tool.empty()) {
        e["reports"] = {{"distinct", r.summary.distinct},
                        {"own", r.summary.own},
                        {"library", r.summary.library},
                        {"unjudged", r.unjudged},
                        {"runs_with_reports", r.runs_with_reports.size()}};
        if (r.p->race)
            e["race_found"] = r.race_found;
        e["report_list"] = nlohmann::json::array();
        for (const auto &rep : r.summary.reports) {
            nlohmann::json tops = nlohmann::json::array();
            for (const auto &stack : rep.access_stacks)
                tops.push_back(stack_top_name(stack));
            e["report_list"].push_back({{"key", rep.key},
                                        {"kind", rep.kind},
                                        {"own", rep.own},
                                        {"where", rep.where},
                                        {"judgement", judgement_name(rep.judgement)},
                                        {"finding", rep.finding},
                                        {"frames", tops},
                                        {"memory", describe_memory(rep.memory)}});
        }
    }
    if (opt.trace) {
        e["trace"]["runs"] = nlohmann::json::array();
        for (const auto &f : r.traces)
            e["trace"]["runs"].push_back(
                {{"inside", f.inside},
                 {"overlap", f.overlap},
                 {"lock_max_held",
                  f.lock_max_held ? nlohmann::json(*f.lock_max_held) : nlohmann::json(nullptr)}});
        e["trace"]["timeline"] =
            r.timeline.empty()
                ? nlohmann::json(nullptr)
                : nlohmann::json(std::string(timeline_dir) + "/" + r.p->name + ".svg");
    }
    e["record"] = row_record(r);
    return e;
}

void write_results(const run_settings_t &opt, const std::vector<row_t> &rows,
                   const std::string &table, const std::string &dir,
                   const nlohmann::json &provenance) {
    make_dirs(dir);
    nlohmann::json j;
    j["tool"] = opt.tool.empty() ? "native" : opt.tool;
    j["suppressed"] = opt.suppress;
    j["repeat"] = opt.repeat;
    // --until-detected N: each program ran until its first report, at most N times.
    j["until_detected"] = opt.until_detected;
    j["bin"] = opt.bin;
    j["mode"] = mode_name(opt);
    j["trace"] = opt.trace;
    j["shard"] = std::to_string(opt.shard.index) + "/" + std::to_string(opt.shard.count);
    j["manifest"] = opt.manifest;
    j["manifest_digest"] = text_digest(read_file(opt.manifest));
    j["complete"] = true;
    j["programs"] = nlohmann::json::array();
    for (const auto &r : rows)
        j["programs"].push_back(program_entry(opt, r));
    j["provenance"] = provenance;
    // The JSON last: "complete": true appears only once the other files are in place.
    const results_input_t in{opt, rows, table, provenance};
    for (const auto &output : results_outputs())
        output.write(in, dir);
    write_file((fs::path(dir) / "results.json").string(), json_text(j, 2) + "\n");
}
