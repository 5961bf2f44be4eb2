// The detectors a run can be wrapped in. A detector is a file (JSON): how it wraps a run, the
// reports it leaves and their format, its runtime's frames, how it names a data race, its
// version and its time limit. The built-in ones are the files of corpus/detectors/builtin/;
// --detector FILE adds more. The runner has no code of its own per detector, only one reader
// per report format.
#pragma once

#include "checks.h"
#include "frames.h"
#include "parse.h"
#include "process.h"
#include "settings.h"

#include <map>
#include <string>
#include <vector>

// The formats of reports the runner reads.
enum class report_format_t { tsan_text, valgrind_xml, sarif };

struct detector_t {
    std::string name;            // as --tool names it
    std::string runs_as;         // the name its results go by ("tsan" for tsan-deep)
    std::string file;            // the detector file it was read from
    std::string help;            // what it is, for --help
    double timeout_seconds = 60; // default time limit of one run
    std::string needs_command;   // a command that must be in PATH, or ""
    // The instrumented build it needs ("" when any build of the programs will do): the symbol
    // every program of that build carries, the build's preset and what it is called.
    std::string build_symbol, build_preset, build_name;
    std::string default_bin;        // programs' folder under the sources for `corpus score`, or ""
    std::string suppressions;       // the file in the suppressions folder, or ""
    bool scored_by_default = false; // what `corpus score` runs without --tool
    bool run_command = true;        // offered by `corpus run` (not only by `corpus score`)
    int order = 1000;               // where --help lists it
    // Wrapping a run. The command comes before the program and its arguments (its elements may
    // hold {dir}, the run's folder, {report}, the report's path, {suppressions}, the
    // suppressions folder, and {detector_dir}, the detector file's folder, for a wrapper kept
    // beside it); --perturb and --suppress add their arguments. Each variable of the
    // environment is set before the program's own value of it, which adds to it (options lists such
    // as TSAN_OPTIONS).
    std::vector<std::string> command, perturb_args, suppress_args;
    std::map<std::string, std::string> environment, suppress_environment;
    // Lines on the program's standard error that are the detector's, by their start.
    std::vector<std::string> stderr_noise;
    // Its reports: their format, the file ("valgrind.xml"), or files by a prefix ("tsan.*": the
    // files that start "tsan.", whose path {report} gives as ".../tsan"), in the run's folder,
    // and for valgrind the log that tells where objects were loaded.
    report_format_t format = report_format_t::tsan_text;
    std::string report_file, report_path;
    bool report_prefix = false;
    std::string loaded_objects_log;
    runtime_frames_t runtime;
    std::vector<std::string> race_kinds;       // how it names a data race
    std::vector<std::string> lock_order_kinds; // and a lock-order inversion (none: it has none)
    // The command that prints its version ({compiler}: the C++ compiler of the programs'
    // build), and what goes before its first line.
    std::vector<std::string> version_command;
    std::string version_prefix;
};

// Every detector: the built-in files, then those added, in the order --help lists them. The
// first call reads the built-in files; a faulty one throws std::runtime_error naming the file
// and the field.
const std::vector<detector_t> &detectors();

// Reads a detector file and adds it; throws std::runtime_error naming the file and the field
// that is wrong, or a name already taken.
void add_detector_file(const std::string &path);

// "tsan-text", "valgrind-xml" or "sarif", as a detector file names the format.
const char *format_name(report_format_t f);

// The detector named `name`, or nullptr.
const detector_t *find_detector(const std::string &name);

// The names of the detectors as "a|b|c", those `corpus run` offers or all of them.
std::string detector_names(bool run_command_only);

// The time limit of one run under `tool` ("" for none): --timeout, or the detector's default.
double run_timeout(const run_settings_t &s, const std::string &tool);

// Wraps a run whose folder is `dir` in the detector: its command before the program, and its
// settings in the environment, before the program's own.
void wrap_run(const detector_t &d, const run_settings_t &s, const std::string &dir,
              run_request_t &req);

// True for a variable that a detector sets (an options list such as TSAN_OPTIONS): the values a
// build and a program give it add up, rather than replace each other.
bool options_variable(const std::string &name);

// The program's standard error without the detector's own lines.
std::string clean_stderr(const detector_t &d, const std::string &err);

// The reports the run left in `dir`, read by the reader of the detector's format; a faulty or
// unfinished report is a problem of the run (but for a run the runner stopped on purpose).
void collect_reports(const detector_t &d, const std::string &dir, const own_code_t &own,
                     bool stopped, check_result_t &c, std::vector<report_t> &reports);

// Its version, for the provenance and SARIF ("" when it cannot be told).
std::string tool_version(const detector_t &d, const run_settings_t &s);
