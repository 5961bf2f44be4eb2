// The detectors a run can be wrapped in, one record each. Adding a detector is a record in
// detectors.cpp and, for a new form of report, a parser in parse.cpp; the runner, `corpus
// score`, the provenance, the SARIF file and --help take what they need from here.
#pragma once

#include "checks.h"
#include "parse.h"
#include "process.h"
#include "settings.h"

#include <string>
#include <vector>

struct detector_t {
    const char *name;          // as --tool names it
    const char *runs_as;       // the detector whose record runs it (tsan-deep runs as tsan)
    const char *help;          // what it is, for --help
    double timeout_seconds;    // default time limit of one run
    const char *needs_command; // a command that must be in PATH, or ""
    // The instrumented build it needs ("" when any build of the programs will do): the symbol
    // every program of that build carries, the build's preset and what it is called.
    const char *build_symbol;
    const char *build_preset;
    const char *build_name;
    const char *default_bin;  // programs' folder under the sources for `corpus score`, or ""
    const char *suppressions; // the file in the suppressions folder
    bool scored_by_default;   // what `corpus score` runs without --tool
    bool run_command;         // offered by `corpus run` (not only by `corpus score`)
    // Wraps a run whose directory is `dir`: the command before the program and the detector's
    // settings in the environment (added to the program's own).
    void (*wrap)(const run_settings_t &s, const std::string &dir, run_request_t &req);
    // The program's standard error without the detector's own noise.
    std::string (*clean_stderr)(const std::string &err);
    // The reports that the run left in `dir`; a faulty log is a problem of the run.
    void (*collect)(const std::string &dir, const own_code_t &own, bool stopped, check_result_t &c,
                    std::vector<report_t> &reports);
    // Its version, for the provenance and SARIF ("" when it cannot be told).
    std::string (*version)(const run_settings_t &s);
};

// Every detector, in the order --help lists them.
const std::vector<detector_t> &detectors();

// The detector named `name`, or nullptr.
const detector_t *find_detector(const std::string &name);

// The names of the detectors as "a|b|c", those `corpus run` offers or all of them.
std::string detector_names(bool run_command_only);

// The time limit of one run under `tool` ("" for none): --timeout, or the detector's default.
double run_timeout(const run_settings_t &s, const std::string &tool);
