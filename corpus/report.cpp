#include "report.h"

#include "ci_formats.h"
#include "files.h"
#include "provenance.h"
#include "score.h"

#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

std::string fixed(double v, int digits) {
    char buf[64];
    snprintf(buf, sizeof buf, "%.*f", digits, v);
    return buf;
}

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

static std::vector<std::string> header(const options_t &opt) {
    std::vector<std::string> h{"program", "variant", "runs ok", "markers", "outputs"};
    if (!opt.tool.empty())
        h.insert(h.end(), {"reports", "own", "library"});
    h.insert(h.end(), {"time s", "peak MiB", "verdict"});
    return h;
}

static std::vector<std::string> cells(const options_t &opt, const row_t &r) {
    std::vector<std::string> c{r.p->name, r.p->variant,
                               r.missing ? "-"
                                         : std::to_string(r.passed) + "/" + std::to_string(r.runs),
                               r.missing ? "-" : r.markers, r.missing ? "-" : r.outputs};
    if (!opt.tool.empty())
        c.insert(c.end(), {std::to_string(r.summary.distinct), std::to_string(r.summary.own),
                           std::to_string(r.summary.library)});
    c.push_back(r.runs ? fixed(r.seconds / r.runs, 3) : "-");
    c.push_back(r.runs ? fixed(r.peak_kib / 1024.0, 1) : "-");
    c.push_back(r.verdict);
    return c;
}

std::string run_table(const options_t &opt, const std::vector<row_t> &rows) {
    std::vector<std::vector<std::string>> all{header(opt)};
    for (const auto &r : rows)
        all.push_back(cells(opt, r));
    int holding = 0, own = 0, failed = 0;
    for (const auto &r : rows) {
        holding += r.ok;
        own += r.unexpected_own;
        failed += !r.ok;
    }
    // The expected verdicts of the selected programs, quoted when they are all the same.
    std::set<std::string> expected;
    for (const auto &r : rows)
        expected.insert(r.p->verdict);
    std::ostringstream closing;
    closing << "\nVerdict against the manifest";
    if (expected.size() == 1)
        closing << " (\"" << *expected.begin() << "\")";
    else
        closing << " (verdicts per program, in results.json)";
    closing << ": ";
    closing << holding << " of " << rows.size() << " programs hold" << (failed ? "; FAILED" : "");
    if (!opt.tool.empty())
    {
        bool racy = false;
        for (const auto &r : rows)
            racy = racy || r.p->race.has_value();
        closing << " (" << own << " distinct report(s) in our own code"
                << (racy ? " beyond the labelled races" : "") << ")";
    }
    closing << "\n";
    const size_t shown_problems = 8; // the rest is in the JSON file
    for (const auto &r : rows) {
        for (size_t i = 0; i < r.problems.size() && i < shown_problems; ++i)
            closing << r.p->name << ": " << r.problems[i] << "\n";
        if (r.problems.size() > shown_problems)
            closing << r.p->name << ": ... and " << r.problems.size() - shown_problems
                    << " more problem(s) in results.json\n";
        for (const auto &rep : r.summary.reports)
            if (rep.own && !(r.p->race && (r.p->race->accesses.empty() ||
                                           report_matches_label(rep, *r.p->race))))
                closing << r.p->name << ": " << opt.tool << " report in own code: " << rep.kind
                        << " at " << rep.where << "\n";
    }
    return aligned_table(all) + closing.str();
}

void mark_results_stale(const options_t &opt, const std::string &dir) {
    make_dirs(dir);
    for (const char *name : {"table.txt", "results.csv", "junit.xml", "results.sarif"})
        remove_all((fs::path(dir) / name).string());
    nlohmann::json j{{"tool", opt.tool.empty() ? "native" : opt.tool},
                     {"suppressed", opt.suppress},
                     {"complete", false}};
    write_file((fs::path(dir) / "results.json").string(), j.dump(2) + "\n");
}

void write_results(const options_t &opt, const std::vector<row_t> &rows, const std::string &table,
                   const std::string &dir) {
    make_dirs(dir);
    std::ostringstream csv;
    auto h = header(opt);
    for (size_t i = 0; i < h.size(); ++i)
        csv << (i ? "," : "") << csv_field(h[i]);
    csv << "\n";
    for (const auto &r : rows) {
        auto c = cells(opt, r);
        for (size_t i = 0; i < c.size(); ++i)
            csv << (i ? "," : "") << csv_field(c[i]);
        csv << "\n";
    }

    nlohmann::json j;
    j["tool"] = opt.tool.empty() ? "native" : opt.tool;
    j["suppressed"] = opt.suppress;
    j["repeat"] = opt.repeat;
    j["bin"] = opt.bin;
    j["complete"] = true;
    j["programs"] = nlohmann::json::array();
    for (const auto &r : rows) {
        nlohmann::json e{
            {"program", r.p->name},   {"variant", r.p->variant},
            {"built", !r.missing},    {"runs", r.runs},
            {"passed", r.passed},     {"markers", r.markers},
            {"outputs", r.outputs},   {"seconds_mean", r.runs ? r.seconds / r.runs : 0.0},
            {"peak_kib", r.peak_kib}, {"ok", r.ok},
            {"verdict", r.verdict},   {"expected", r.p->verdict},
            {"problems", r.problems}, {"race", r.p->race.has_value()}};
        if (!opt.tool.empty()) {
            e["reports"] = {{"distinct", r.summary.distinct},
                            {"own", r.summary.own},
                            {"library", r.summary.library},
                            {"runs_with_reports", r.runs_with_reports.size()}};
            if (r.p->race)
                e["race_found"] = r.race_found;
            e["report_list"] = nlohmann::json::array();
            for (const auto &rep : r.summary.reports)
                e["report_list"].push_back(
                    {{"kind", rep.kind}, {"own", rep.own}, {"where", rep.where}});
        }
        j["programs"].push_back(e);
    }
    j["provenance"] = provenance(opt, opt.tool, rows);
    // The JSON last: "complete": true appears only once the other files are in place.
    write_file((fs::path(dir) / "table.txt").string(), table);
    write_file((fs::path(dir) / "results.csv").string(), csv.str());
    write_file((fs::path(dir) / "junit.xml").string(), junit_xml("corpus " + mode_name(opt), rows,
                                                                opt.tool));
    if (!opt.tool.empty())
        write_file((fs::path(dir) / "results.sarif").string(),
                   sarif_log(rows, opt.tool, detector_version(opt, opt.tool), opt.source_dir,
                             suppression_files(opt, opt.tool))
                           .dump(2) +
                       "\n");
    write_file((fs::path(dir) / "results.json").string(), j.dump(2) + "\n");
}
