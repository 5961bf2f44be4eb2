// The detector scorecard: each tool's reports on labelled racy programs (positives) and their
// race-free twins (negatives), scored as true/false positives and negatives.
#pragma once

#include "ledger.h"
#include "manifest.h"
#include "row.h"
#include "settings.h"

#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

// A program's outcome under one tool: a true or false positive or negative, or not run.
enum class outcome_t { not_run, tp, fp, tn, fn };

// "TP", "FP", "TN", "FN" or "not run", as the scorecard spells it.
inline const char *outcome_name(outcome_t o) {
    static const char *const names[] = {"not run", "TP", "FP", "TN", "FN"};
    return names[int(o)];
}

struct program_score_t {
    std::string program;
    bool race = false;
    axis_t axis = axis_t::built_in;
    race_kind_t kind = race_kind_t::data_race; // the kind of report it is scored on
    bool built = true;
    int runs = 0;
    int passed = 0; // runs whose contract held: a failed run is no clean score
    // Runs that detected: on a positive, a report that shows its label (its pair, one side of
    // it for a tool that prints one stack); on a negative, a report of the kind it is scored on.
    int detected_runs = 0;
    int other_runs = 0;        // runs with reports that count neither way (other places, kinds)
    int pair_runs = 0;         // positives: runs with a report on the labelled pair
    int runs_to_detection = 0; // --until-detected: the run of the first report (0: none)
    outcome_t outcome = outcome_t::not_run;
    std::optional<bool> pair_matched; // positives with an access pair only
    bool runtime_only = false;        // a false positive whose reports all lie in runtimes
    bool library_race_only = false;   // race-free, and every report is a library race the
                                      // ledger knows: no false positive
};

// A library report that no ledger entry judges, or that several match (`entries`), for the
// scorecard to list.
struct unjudged_report_t {
    std::string program, kind;
    std::vector<std::string> tops; // the top frame of each stack, "function (object)"
    std::string memory;            // where its memory lies, in words
    std::string entries;           // the entries that all match it ("" when none does)
};

struct twin_difference_t {
    std::string program, twin;     // the racy or unserialized member and its race-free twin
    std::vector<std::string> only; // reports (where, with their judgement) seen only in `program`
};

// A tool's outcomes on the programs of one axis.
struct axis_counts_t {
    int tp = 0, fp = 0, tn = 0, fn = 0;
};

struct tool_score_t {
    tool_id_t tool;
    std::string build; // the compiler of the programs' build, "gcc-12.2.0" ("" when unknown)
    // --until-detected: the runs stop at the first detection, so their share is no rate
    bool until_detected = false;
    int repeat = 0;
    int tp = 0, fp = 0, tn = 0, fn = 0;
    axis_counts_t axes[axis_count]; // the same, axis by axis (the profile)
    std::optional<double> precision, recall, f1, pair_recall;
    std::vector<std::string> runtime_fp; // false positives caused by runtime libraries only
    // The libraries, by the ledger: its races that the tool reported and those it did not
    // report on a program it ran where they show, its false alarms that the tool gave (entry
    // ids), and the reports no entry judges.
    std::vector<std::string> races_found, races_missed, false_alarms;
    std::vector<unjudged_report_t> unjudged;
    // Per ledger entry, the distinct reports it judged, so that an entry that takes hundreds
    // shows.
    std::map<std::string, int> entry_reports;
    std::vector<program_score_t> programs;
    std::vector<twin_difference_t> twins;
};

// A 95% Wilson score interval for a share of k successes in n trials (n > 0).
struct interval_t {
    double low = 0, high = 0;
};
interval_t wilson_interval(int k, int n);

// Scores one tool's rows: a positive is detected by a run with a report that shows its label, a
// negative by a run with a report of the kind it is scored on, unless every such report is a
// library race that `ledger` (its applicable findings) knows; the library columns come from the
// rows' judged reports and `ledger`.
tool_score_t score_tool(const tool_id_t &tool, int repeat, const std::vector<row_t> &rows,
                        const ledger_t &ledger);

nlohmann::json score_json(const std::vector<tool_score_t> &tools);
std::string score_table(const std::vector<tool_score_t> &tools); // plain text, for the terminal
std::string score_csv(const std::vector<tool_score_t> &tools);
std::string score_markdown(const std::vector<tool_score_t> &tools);
std::string score_html(const std::vector<tool_score_t> &tools); // index.html, with small charts

// The programs of the scorecard that did not run (not built) or whose contract failed in some
// run, as "<tool> <program>: <why>"; `corpus score` exits 1 when there is any.
std::vector<std::string> score_failures(const std::vector<tool_score_t> &tools);

// Removes the scorecard's files from `dir`, so that none outlives the runs it scored.
void mark_scorecard_stale(const std::string &dir);

// Writes score.txt, score.csv, score.md, score.json and index.html into `dir`; returns the
// table.
std::string write_scorecard(const std::string &dir, const std::vector<tool_score_t> &tools);
