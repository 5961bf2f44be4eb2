#include "score.h"

#include "files.h"
#include "judge.h"
#include "memory.h"
#include "results.h"
#include "text.h"
#include "xml_text.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <sstream>

interval_t wilson_interval(int k, int n) {
    const double z = 1.959963984540054, z2 = z * z, p = double(k) / n;
    const double centre = (p + z2 / (2 * n)) / (1 + z2 / n);
    const double half = z * std::sqrt(p * (1 - p) / n + z2 / (4.0 * n * n)) / (1 + z2 / n);
    return {std::max(0.0, centre - half), std::min(1.0, centre + half)};
}

static std::optional<double> ratio(int num, int den) {
    if (den == 0)
        return std::nullopt;
    return double(num) / den;
}

// Whether a report counts for the program: on a positive it shows the label, on a negative it
// is of the kind the program is scored on.
static bool counts_for(const report_t &r, const program_t &p) {
    return p.race ? report_shows_label(r, *p.race) : report_race_kind(r) == p.scored_kind();
}

// Whether every report of the row that counts is a library race of the ledger (and there is
// one).
static bool only_library_races(const row_t &row) {
    bool any = false;
    for (const auto &r : row.summary.reports) {
        if (!counts_for(r, *row.p))
            continue;
        if (r.judgement != judgement_t::race)
            return false;
        any = true;
    }
    return any;
}

// The library columns: what the ledger says of the tool's library reports over all rows.
static void score_libraries(tool_score_t &t, const std::vector<row_t> &rows,
                            const ledger_t &ledger) {
    std::set<std::string> races, alarms, ran;
    std::set<std::pair<std::string, std::string>> unjudged_seen;
    for (const auto &row : rows) {
        if (row.missing || row.runs == 0)
            continue;
        ran.insert(row.p->name);
        for (const auto &r : row.summary.reports) {
            if (r.judgement == judgement_t::race || r.judgement == judgement_t::false_alarm) {
                (r.judgement == judgement_t::race ? races : alarms).insert(r.finding);
                ++t.entry_reports[r.finding];
            } else if (unsettled(r.judgement) &&
                       unjudged_seen.insert({row.p->name, r.key}).second) {
                unjudged_report_t u{row.p->name,
                                    r.kind,
                                    {},
                                    describe_memory(r.memory),
                                    r.judgement == judgement_t::ambiguous ? r.finding : ""};
                for (const auto &stack : r.access_stacks)
                    u.tops.push_back(stack_top_name(stack));
                t.unjudged.push_back(u);
            }
        }
    }
    for (const auto &f : ledger.findings) {
        if (!f.race)
            continue;
        if (races.count(f.id)) {
            t.races_found.push_back(f.id);
            continue;
        }
        for (const auto &program : f.programs)
            if (ran.count(program)) {
                t.races_missed.push_back(f.id);
                break;
            }
    }
    t.false_alarms.assign(alarms.begin(), alarms.end());
}

// A program's outcome and runs; `pairs` counts the positives with a labelled pair, and those
// whose pair a report showed.
static program_score_t score_program(const row_t &row, std::pair<int, int> &pairs) {
    program_score_t s;
    s.program = row.p->name;
    s.race = row.p->race.has_value();
    s.axis = row.p->axis;
    s.kind = row.p->scored_kind();
    s.built = !row.missing;
    s.runs = row.runs;
    s.passed = row.passed;
    std::set<int> counted, other;
    for (const auto &r : row.reports)
        (counts_for(r, *row.p) ? counted : other).insert(r.run);
    s.detected_runs = int(counted.size());
    for (int run : counted)
        other.erase(run);
    s.other_runs = int(other.size());
    s.runs_to_detection = row.runs_to_detection;
    if (row.missing || row.runs == 0) {
        s.outcome = outcome_t::not_run;
        return s;
    }
    // A race-free program whose every report is a known library race has no false positive:
    // the race is the library's, and it is real.
    s.library_race_only = !s.race && only_library_races(row);
    const bool detected = s.detected_runs > 0 && !s.library_race_only;
    s.outcome = s.race ? (detected ? outcome_t::tp : outcome_t::fn)
                       : (detected ? outcome_t::fp : outcome_t::tn);
    if (s.race && row.p->race->accesses.size() == 2) {
        bool matched = false;
        for (const auto &r : row.summary.reports)
            matched = matched || report_matches_label(r, *row.p->race);
        std::set<int> pair_runs;
        for (const auto &r : row.reports)
            if (report_matches_label(r, *row.p->race))
                pair_runs.insert(r.run);
        s.pair_runs = int(pair_runs.size());
        s.pair_matched = matched;
        ++pairs.first;
        pairs.second += matched;
    }
    if (s.outcome == outcome_t::fp) {
        s.runtime_only = true;
        for (const auto &r : row.summary.reports)
            s.runtime_only = s.runtime_only && runtime_only_report(r);
    }
    return s;
}

// The twin differential: for a racy or unserialized program, the reports its race-free (or
// serialized) twin does not have.
static std::vector<twin_difference_t> twin_differences(const std::vector<row_t> &rows) {
    std::map<std::string, const row_t *> by_name;
    for (const auto &row : rows)
        by_name[row.p->name] = &row;
    std::vector<twin_difference_t> twins;
    for (const auto &row : rows) {
        const program_t &p = *row.p;
        if (p.twin.empty() || !by_name.count(p.twin) || row.missing)
            continue;
        if (p.variant != variant_t::racy && p.variant != variant_t::unserialized)
            continue;
        const row_t &twin = *by_name[p.twin];
        if (twin.missing ||
            (p.variant == variant_t::unserialized && twin.p->variant != variant_t::serialized))
            continue;
        std::set<std::string> twin_keys;
        for (const auto &r : twin.summary.reports)
            twin_keys.insert(r.key);
        twin_difference_t d{p.name, p.twin, {}};
        for (const auto &r : row.summary.reports) {
            if (twin_keys.count(r.key))
                continue;
            const std::string judged = judgement_name(r.judgement);
            d.only.push_back(r.kind + " at " + r.where +
                             (r.finding.empty() ? judged.empty() ? "" : " (" + judged + ")"
                                                : " (" + judged + ": " + r.finding + ")"));
        }
        twins.push_back(d);
    }
    return twins;
}

// The counter of `o` among tp, fp, tn and fn (nullptr for a program not run).
static int *outcome_count(int &tp, int &fp, int &tn, int &fn, outcome_t o) {
    return o == outcome_t::tp   ? &tp
           : o == outcome_t::fp ? &fp
           : o == outcome_t::tn ? &tn
           : o == outcome_t::fn ? &fn
                                : nullptr;
}

static int *outcome_count(axis_counts_t &c, outcome_t o) {
    return outcome_count(c.tp, c.fp, c.tn, c.fn, o);
}

tool_score_t score_tool(const tool_id_t &tool, int repeat, const std::vector<row_t> &rows,
                        const ledger_t &ledger) {
    tool_score_t t;
    t.tool = tool;
    t.repeat = repeat;
    std::pair<int, int> pairs{0, 0}; // labelled, found
    for (const auto &row : rows) {
        t.programs.push_back(score_program(row, pairs));
        const program_score_t &s = t.programs.back();
        for (int *count : {outcome_count(t.tp, t.fp, t.tn, t.fn, s.outcome),
                           outcome_count(t.axes[int(s.axis)], s.outcome)})
            if (count)
                ++*count;
        if (s.runtime_only)
            t.runtime_fp.push_back(s.program);
    }
    t.precision = ratio(t.tp, t.tp + t.fp);
    t.recall = ratio(t.tp, t.tp + t.fn);
    if (t.precision && t.recall && *t.precision + *t.recall > 0)
        t.f1 = 2 * *t.precision * *t.recall / (*t.precision + *t.recall);
    else if (t.precision && t.recall)
        t.f1 = 0.0;
    t.pair_recall = ratio(pairs.second, pairs.first);
    score_libraries(t, rows, ledger);
    t.twins = twin_differences(rows);
    return t;
}

std::vector<std::string> score_failures(const std::vector<tool_score_t> &tools) {
    std::vector<std::string> failures;
    for (const auto &t : tools)
        for (const auto &p : t.programs)
            if (!p.built)
                failures.push_back(tool_name(t.tool) + " " + p.program + ": not built");
            else if (p.passed < p.runs)
                failures.push_back(tool_name(t.tool) + " " + p.program +
                                   ": its contract failed in " + std::to_string(p.runs - p.passed) +
                                   " of " + std::to_string(p.runs) + " runs");
    return failures;
}

static nlohmann::json optional_number(const std::optional<double> &v) {
    return v ? nlohmann::json(*v) : nlohmann::json(nullptr);
}

// A share of runs with its 95% Wilson interval.
static nlohmann::json rate_json(int k, int n) {
    const interval_t i = wilson_interval(k, n);
    return {{"runs", n}, {"share", double(k) / n}, {"low", i.low}, {"high", i.high}};
}

nlohmann::json score_json(const std::vector<tool_score_t> &tools) {
    nlohmann::json j;
    j["tools"] = nlohmann::json::array();
    for (const auto &t : tools) {
        nlohmann::json e{{"tool", tool_name(t.tool)},
                         {"build", t.build},
                         {"repeat", t.repeat},
                         {"tp", t.tp},
                         {"fp", t.fp},
                         {"tn", t.tn},
                         {"fn", t.fn},
                         {"precision", optional_number(t.precision)},
                         {"recall", optional_number(t.recall)},
                         {"f1", optional_number(t.f1)},
                         {"pair_recall", optional_number(t.pair_recall)},
                         {"runtime_only_fp", t.runtime_fp}};
        e["library"] = {{"races_found", t.races_found},
                        {"races_missed", t.races_missed},
                        {"false_alarms", t.false_alarms},
                        {"unjudged", nlohmann::json::array()}};
        for (const auto &u : t.unjudged)
            e["library"]["unjudged"].push_back({{"program", u.program},
                                                {"kind", u.kind},
                                                {"frames", u.tops},
                                                {"memory", u.memory},
                                                {"ambiguous_between", u.entries}});
        e["library"]["entry_reports"] = t.entry_reports;
        e["axes"] = nlohmann::json::object();
        for (int a = 0; a < axis_count; ++a) {
            const axis_counts_t &c = t.axes[a];
            e["axes"][axis_name(axis_t(a))] = {
                {"tp", c.tp}, {"fp", c.fp}, {"tn", c.tn}, {"fn", c.fn}};
        }
        e["programs"] = nlohmann::json::array();
        for (const auto &p : t.programs) {
            nlohmann::json q{{"program", p.program},
                             {"race", p.race},
                             {"axis", axis_name(p.axis)},
                             {"kind", race_kind_name(p.kind)},
                             {"other_runs", p.other_runs},
                             {"runs", p.runs},
                             {"detected_runs", p.detected_runs},
                             {"outcome", outcome_name(p.outcome)},
                             {"passed", p.passed},
                             {"library_race_only", p.library_race_only},
                             {"runs_to_first_detection", p.runs_to_detection
                                                             ? nlohmann::json(p.runs_to_detection)
                                                             : nlohmann::json(nullptr)},
                             {"pair_matched", p.pair_matched ? nlohmann::json(*p.pair_matched)
                                                             : nlohmann::json(nullptr)}};
            if (p.race && p.runs > 0 && !t.until_detected) {
                q["detection_rate"] = rate_json(p.detected_runs, p.runs);
                if (p.pair_matched)
                    q["pair_rate"] = rate_json(p.pair_runs, p.runs);
            }
            e["programs"].push_back(q);
        }
        e["twins"] = nlohmann::json::array();
        for (const auto &d : t.twins)
            e["twins"].push_back({{"program", d.program}, {"twin", d.twin}, {"only", d.only}});
        j["tools"].push_back(e);
    }
    return j;
}

static std::string shown(const std::optional<double> &v) {
    return v ? fixed(*v, 2) : "n/a";
}

// A tool as the tables name it: the detector and the compiler of the programs' build, both from
// the results ("tsan clang-16.0.6"), not from how --tool spelt it.
static std::string tool_label(const tool_score_t &t) {
    const std::string &detector = t.tool.detector;
    return (t.build.empty() ? detector : detector + " " + t.build) +
           (t.tool.perturbed ? " +perturb" : "");
}

static std::vector<std::vector<std::string>> summary_lines(const std::vector<tool_score_t> &tools) {
    std::vector<std::vector<std::string>> lines{
        {"tool", "repeat", "tp", "fp", "tn", "fn", "precision", "recall", "f1", "pair_recall",
         "runtime-only fp", "lib races found", "lib races missed", "lib false alarms", "unjudged"}};
    for (const auto &t : tools)
        lines.push_back({tool_label(t), std::to_string(t.repeat), std::to_string(t.tp),
                         std::to_string(t.fp), std::to_string(t.tn), std::to_string(t.fn),
                         shown(t.precision), shown(t.recall), shown(t.f1), shown(t.pair_recall),
                         std::to_string(t.runtime_fp.size()), std::to_string(t.races_found.size()),
                         std::to_string(t.races_missed.size()),
                         std::to_string(t.false_alarms.size()), std::to_string(t.unjudged.size())});
    return lines;
}

// The profile: per tool and axis, the positives caught of those run and the negatives with a
// false alarm of those run ("-" where the axis has none).
static std::vector<std::vector<std::string>> profile_lines(const std::vector<tool_score_t> &tools) {
    std::vector<std::vector<std::string>> lines{{"profile (caught/positives, false/negatives)"}};
    for (int a = 0; a < axis_count; ++a)
        lines[0].push_back(axis_name(axis_t(a)));
    auto share = [](int k, int n) {
        return n ? std::to_string(k) + "/" + std::to_string(n) : std::string("-");
    };
    for (const auto &t : tools) {
        std::vector<std::string> line{tool_label(t)};
        for (const auto &c : t.axes)
            line.push_back(share(c.tp, c.tp + c.fn) + " " + share(c.fp, c.fp + c.tn));
        lines.push_back(line);
    }
    return lines;
}

// One line per program: its label and axis, then per tool the outcome, with the runs that
// detected, the runs with other reports only, and "+pair" when the labelled pair was found.
static std::vector<std::vector<std::string>> program_lines(const std::vector<tool_score_t> &tools) {
    std::vector<std::vector<std::string>> lines{{"program", "race", "axis"}};
    for (const auto &t : tools)
        lines[0].push_back(tool_label(t));
    if (tools.empty())
        return lines;
    for (size_t i = 0; i < tools[0].programs.size(); ++i) {
        const auto &first = tools[0].programs[i];
        std::vector<std::string> line{first.program,
                                      !first.race                             ? "no"
                                      : first.kind == race_kind_t::lock_order ? "lock order"
                                                                              : "yes",
                                      axis_name(first.axis)};
        for (const auto &t : tools) {
            const auto &p = t.programs.at(i);
            std::string cell = outcome_name(p.outcome);
            if (p.outcome != outcome_t::not_run)
                cell += " " + std::to_string(p.detected_runs) + "/" + std::to_string(p.runs);
            if (p.other_runs)
                cell += " (other reports " + std::to_string(p.other_runs) + "/" +
                        std::to_string(p.runs) + ")";
            if (p.pair_matched)
                cell += *p.pair_matched ? " +pair" : " -pair";
            if (p.runs_to_detection)
                cell += " first at run " + std::to_string(p.runs_to_detection);
            if (p.outcome != outcome_t::not_run && p.passed < p.runs)
                cell += " FAIL " + std::to_string(p.runs - p.passed) + "/" +
                        std::to_string(p.runs) + " runs";
            if (p.runtime_only)
                cell += " (runtime)";
            if (p.library_race_only)
                cell += " (library race)";
            line.push_back(cell);
        }
        lines.push_back(line);
    }
    return lines;
}

// "0.67 [0.21-0.94]": the share of k in n with its 95% Wilson interval.
static std::string rate_cell(int k, int n) {
    const interval_t i = wilson_interval(k, n);
    return fixed(double(k) / n, 2) + " [" + fixed(i.low, 2) + "-" + fixed(i.high, 2) + "]";
}

// A positive's cell: its rates, or under --until-detected the run of the first detection.
static std::string rate_text(const tool_score_t &t, const program_score_t &p) {
    if (p.runs == 0)
        return "not run";
    if (t.until_detected)
        return p.runs_to_detection ? "first at run " + std::to_string(p.runs_to_detection)
                                   : "none in " + std::to_string(p.runs) + " runs";
    return rate_cell(p.detected_runs, p.runs) +
           (p.pair_matched ? "; " + rate_cell(p.pair_runs, p.runs) : "");
}

// Per positive and tool, the share of runs that detected it (a report that shows its label)
// and that matched the labelled pair, each with its 95% Wilson interval.
static std::vector<std::vector<std::string>> rate_lines(const std::vector<tool_score_t> &tools) {
    std::vector<std::vector<std::string>> lines{{"positive (runs detected; with pair)"}};
    for (const auto &t : tools)
        lines[0].push_back(tool_label(t));
    if (tools.empty())
        return lines;
    for (size_t i = 0; i < tools[0].programs.size(); ++i) {
        if (!tools[0].programs[i].race)
            continue;
        std::vector<std::string> line{tools[0].programs[i].program};
        for (const auto &t : tools) {
            const auto &p = t.programs.at(i);
            line.push_back(rate_text(t, p));
        }
        lines.push_back(line);
    }
    return lines;
}

std::string score_table(const std::vector<tool_score_t> &tools) {
    std::string s = aligned_table(summary_lines(tools)) + "\n" +
                    aligned_table(profile_lines(tools)) + "\n" +
                    aligned_table(program_lines(tools)) + "\n" + aligned_table(rate_lines(tools));
    for (const auto &t : tools)
        for (const auto &d : t.twins)
            if (!d.only.empty())
                s += tool_name(t.tool) + ": " + d.program + " has " +
                     std::to_string(d.only.size()) + " report(s) that its twin " + d.twin +
                     " has not\n";
    for (const auto &t : tools) {
        auto list = [](const std::vector<std::string> &ids) {
            std::string l;
            for (const auto &id : ids)
                l += (l.empty() ? "" : ", ") + id;
            return l.empty() ? std::string("none") : l;
        };
        s += tool_name(t.tool) + ": library races found: " + list(t.races_found) +
             "; missed: " + list(t.races_missed) + "; false alarms: " + list(t.false_alarms) + "\n";
        std::string judged;
        for (const auto &[id, n] : t.entry_reports)
            judged += (judged.empty() ? "" : ", ") + id + " " + std::to_string(n);
        if (!judged.empty())
            s += tool_name(t.tool) + ": distinct reports per ledger entry: " + judged + "\n";
        const size_t shown = 20; // the rest is in score.json
        for (size_t i = 0; i < t.unjudged.size() && i < shown; ++i) {
            const auto &u = t.unjudged[i];
            std::string tops;
            for (const auto &top : u.tops)
                tops += (tops.empty() ? "" : " / ") + top;
            s += tool_name(t.tool) +
                 (u.entries.empty() ? ": unjudged library report in "
                                    : ": library report that " + u.entries + " all match, in ") +
                 u.program + ": " + u.kind + " at " + tops + " on " + u.memory + "\n";
        }
        if (t.unjudged.size() > shown)
            s += tool_name(t.tool) + ": ... and " + std::to_string(t.unjudged.size() - shown) +
                 " more unjudged library report(s) in score.json\n";
    }
    return s;
}

std::string score_csv(const std::vector<tool_score_t> &tools) {
    std::ostringstream s;
    s << "tool,repeat,program,race,runs,detected_runs,outcome,pair_matched,axis,kind,"
         "other_runs\n";
    for (const auto &t : tools)
        for (const auto &p : t.programs)
            s << csv_field(tool_name(t.tool)) << "," << t.repeat << "," << csv_field(p.program)
              << "," << (p.race ? "yes" : "no") << "," << p.runs << "," << p.detected_runs << ","
              << outcome_name(p.outcome) << ","
              << (p.pair_matched ? (*p.pair_matched ? "yes" : "no") : "") << ","
              << axis_name(p.axis) << "," << race_kind_name(p.kind) << "," << p.other_runs << "\n";
    return s.str();
}

static std::string markdown(const std::vector<std::vector<std::string>> &lines) {
    std::ostringstream s;
    for (size_t n = 0; n < lines.size(); ++n) {
        s << "|";
        for (const auto &cell : lines[n])
            s << " " << cell << " |";
        s << "\n";
        if (n == 0) {
            s << "|";
            for (size_t i = 0; i < lines[0].size(); ++i)
                s << "---|";
            s << "\n";
        }
    }
    return s.str();
}

std::string score_markdown(const std::vector<tool_score_t> &tools) {
    return markdown(summary_lines(tools)) + "\n" + markdown(profile_lines(tools)) + "\n" +
           markdown(program_lines(tools)) + "\n" + markdown(rate_lines(tools));
}

// --- The page: score/index.html -----------------------------------------------------------------

// A bar of `width` pixels per whole share, with its value written beside it.
static std::string share_bar(const std::string &label, const std::optional<double> &v,
                             const char *colour) {
    const int width = 200;
    std::string svg = "<svg width=\"300\" height=\"16\" role=\"img\"><title>" +
                      xml_escape(label + " " + shown(v), false) + "</title>";
    svg += "<rect x=\"0\" y=\"2\" width=\"" + std::to_string(width) +
           "\" height=\"12\" fill=\"#eeeeee\"/>";
    if (v)
        svg += "<rect x=\"0\" y=\"2\" width=\"" + fixed(*v * width, 1) +
               "\" height=\"12\" fill=\"" + colour + "\"/>";
    svg += "<text x=\"" + std::to_string(width + 6) + "\" y=\"13\" font-size=\"12\">" + shown(v) +
           "</text></svg>";
    return svg;
}

// A share of runs on a scale from 0 to 1: its 95% interval as a line, the share as a dot; the
// share that matched the labelled pair, when there is one, as a ring.
static std::string rate_chart(const program_score_t &p) {
    const double w = 160, x0 = 5;
    auto x = [&](double v) { return fixed(x0 + v * w, 1); };
    const interval_t d = wilson_interval(p.detected_runs, p.runs);
    std::string title = "detected in " + rate_cell(p.detected_runs, p.runs);
    std::string svg =
        "<rect x=\"" + x(0) + "\" y=\"9\" width=\"" + fixed(w, 1) +
        "\" height=\"1\" fill=\"#cccccc\"/>" + "<line x1=\"" + x(d.low) + "\" x2=\"" + x(d.high) +
        "\" y1=\"9.5\" y2=\"9.5\" stroke=\"#1f5fa8\" stroke-width=\"3\"/>" + "<circle cx=\"" +
        x(double(p.detected_runs) / p.runs) + "\" cy=\"9.5\" r=\"4\" fill=\"#1f5fa8\"/>";
    if (p.pair_matched) {
        title += "; with the labelled pair in " + rate_cell(p.pair_runs, p.runs);
        svg += "<circle cx=\"" + x(double(p.pair_runs) / p.runs) +
               "\" cy=\"9.5\" r=\"6\" fill=\"none\" stroke=\"#d2691e\" stroke-width=\"2\"/>";
    }
    return "<svg width=\"" + fixed(w + 2 * x0, 0) + "\" height=\"19\" role=\"img\"><title>" +
           xml_escape(title, false) + "</title>" + svg + "</svg><br/><small>" +
           xml_escape(rate_cell(p.detected_runs, p.runs), false) + "</small>";
}

// A table of text cells, the first line as its head.
static std::string html_table(const std::vector<std::vector<std::string>> &lines) {
    std::string s = "<table>\n";
    for (size_t n = 0; n < lines.size(); ++n) {
        s += "<tr>";
        for (const auto &cell : lines[n])
            s += (n ? "<td>" : "<th>") + xml_escape(cell, false) + (n ? "</td>" : "</th>");
        s += "</tr>\n";
    }
    return s + "</table>\n";
}

std::string score_html(const std::vector<tool_score_t> &tools) {
    std::string s =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n"
        "<title>Detector scorecard</title>\n<style>\n"
        "body { font-family: sans-serif; margin: 16px; }\n"
        "table { border-collapse: collapse; margin-bottom: 24px; }\n"
        "td, th { padding: 4px 10px; text-align: left; vertical-align: middle; }\n"
        "tr:nth-child(even) { background: #f6f6f6; }\n"
        ".key { font-size: 13px; color: #444444; }\n"
        "</style>\n</head>\n<body>\n<h1>Detector scorecard</h1>\n"
        "<h2>Precision and recall per tool</h2>\n<table>\n"
        "<tr><th>tool</th><th>runs</th><th>precision</th><th>recall</th><th>library races "
        "found / missed</th></tr>\n";
    for (const auto &t : tools)
        s += "<tr><td>" + xml_escape(tool_label(t), false) + "</td><td>" +
             std::to_string(t.repeat) + "</td><td>" +
             share_bar("precision", t.precision, "#2e8b57") + "</td><td>" +
             share_bar("recall", t.recall, "#1f5fa8") + "</td><td>" +
             std::to_string(t.races_found.size()) + " / " + std::to_string(t.races_missed.size()) +
             "</td></tr>\n";
    s += "</table>\n<h2>Profile: what each tool tells apart, axis by axis</h2>\n<p "
         "class=\"key\">Per tool and axis, the positives caught of those run, then the negatives "
         "with a false alarm of those run.</p>\n" +
         html_table(profile_lines(tools));
    s += "<h2>How often each race is caught</h2>\n<p class=\"key\">Per positive and "
         "tool, the share of runs with a report that shows its label (dot) with its 95% Wilson "
         "interval "
         "(line), and the share that reported the labelled pair (ring); the scale runs from 0 to "
         "1.</p>\n<table>\n<tr><th>positive</th>";
    for (const auto &t : tools)
        s += "<th>" + xml_escape(tool_label(t), false) + "</th>";
    s += "</tr>\n";
    for (size_t i = 0; !tools.empty() && i < tools[0].programs.size(); ++i) {
        if (!tools[0].programs[i].race)
            continue;
        s += "<tr><td>" + xml_escape(tools[0].programs[i].program, false) + "</td>";
        for (const auto &t : tools) {
            const auto &p = t.programs.at(i);
            s +=
                "<td>" +
                (p.runs && !t.until_detected ? rate_chart(p) : xml_escape(rate_text(t, p), false)) +
                "</td>";
        }
        s += "</tr>\n";
    }
    s += "</table>\n</body>\n</html>\n";
    return s;
}

// The scorecard's files, each with the function that gives its text: written by
// write_scorecard, removed by mark_scorecard_stale. A new format is one line here.
namespace {
struct scorecard_output_t {
    const char *name;
    std::string (*text)(const std::vector<tool_score_t> &tools);
};
} // namespace

static const std::vector<scorecard_output_t> &scorecard_outputs() {
    static const std::vector<scorecard_output_t> outputs = {
        {"score.txt", score_table},
        {"score.csv", score_csv},
        {"score.md", score_markdown},
        {"score.json",
         [](const std::vector<tool_score_t> &tools) {
             return json_text(score_json(tools), 2) + "\n";
         }},
        {"index.html", score_html},
    };
    return outputs;
}

void mark_scorecard_stale(const std::string &dir) {
    for (const auto &output : scorecard_outputs())
        remove_all(dir + "/" + output.name);
}

std::string write_scorecard(const std::string &dir, const std::vector<tool_score_t> &tools) {
    make_dirs(dir);
    for (const auto &output : scorecard_outputs())
        write_file(dir + "/" + output.name, output.text(tools));
    return score_table(tools);
}
