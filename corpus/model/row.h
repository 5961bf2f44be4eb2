// One row of a run's results: a program's runs under one detector, what they showed and the
// verdict on them.
#pragma once

#include "program.h"
#include "report.h"
#include "trace_file.h"

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
    int unexpected_own = 0; // own-code reports other than the labelled race
    // Own-code reports on a race-free twin that puts a construct to the detectors (an axis
    // other than built-in): the false alarms of a tool that cannot follow it, not the program's
    // fault.
    int construct_alarms = 0;
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
