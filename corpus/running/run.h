// Running the selected programs: each run in a fresh directory seeded with its inputs, checked
// against its contract, with the detector's reports collected; one row per program.
#pragma once

#include "checks.h"
#include "ledger.h"
#include "manifest.h"
#include "options.h"
#include "parse.h"
#include "timeline.h"

#include <map>
#include <string>
#include <vector>

struct row_t {
    const program_t *p = nullptr;
    int runs = 0, passed = 0;
    bool missing = false;
    std::string markers, outputs;
    std::vector<std::string> problems;
    std::vector<report_t> reports;
    std::vector<int> runs_with_reports; // the runs (1-based) that had any report
    report_summary_t summary;
    int unexpected_own = 0;  // own-code reports other than the labelled race
    int unjudged = 0;        // library reports that no ledger entry judges
    bool race_found = false; // a report on the labelled race (racy programs only)
    double seconds = 0;      // summed over the runs
    double wall_seconds = 0; // the runs' whole wall time, from staging to judging, summed
    long peak_kib = 0;       // highest over the runs
    bool ok = false;
    std::string verdict;
    std::vector<trace_figures_t> traces; // --trace: the figures of each run
    std::string timeline;                // --trace: SVG of the run with the most threads inside
    int best_trace = 0;                  // --trace: the index of that run in `traces`
    int runs_to_detection = 0;           // --until-detected: the run of the first report, or 0
};

// Adds the runs of `from` (of the same program) to `into`.
void add_runs(row_t &into, const row_t &from);

// Sums up a row's reports, judges its library reports by `ledger` and decides its verdict.
void finish_row(row_t &row, const std::string &tool, const ledger_t &ledger);

// Whether work item `item` (0-based) belongs to `shard`.
bool in_shard(const shard_t &shard, size_t item);

// The variables a build asks for in every run, from the NAME=VALUE lines of `<bin>/run-env`
// (for instance the OpenMP tool library of an instrumented build); none without the file.
std::map<std::string, std::string> build_environment(const std::string &bin);

// The executable of `p`: the corpus's own programs are found in --bin by name, an outside
// program's executable as its manifest entry says.
std::string program_executable(const options_t &opt, const program_t &p);

// The programs that `opt` selects from `m`; throws runner_error for an unknown name or an
// empty selection.
std::vector<const program_t *> select_programs(const options_t &opt, const manifest_t &m);

// Runs every selected program opt.repeat times under `tool` ("" for none) with its results in
// `results_dir`, and returns one row each. Throws runner_error on a failure of the runner
// itself (and when interrupted).
std::vector<row_t> run_programs(const options_t &opt, const std::string &tool,
                                const std::vector<const program_t *> &programs,
                                const std::string &results_dir);

// corpus score --until-detected: runs every program until the tool first reports on it, at most
// opt.until_detected times, and records in each row the run that did (0: none did).
std::vector<row_t> run_until_detected(const options_t &opt, const std::string &tool,
                                      const std::vector<const program_t *> &programs,
                                      const std::string &results_dir);
