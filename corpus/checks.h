// Contract checks: pure functions from what a run left behind (standard output and error,
// how it ended, the files in its directory) to a verdict with the reasons for a failure.
#pragma once

#include "images.h"
#include "manifest.h"

#include <map>
#include <string>
#include <vector>

struct run_output_t {
    std::string out;
    std::string err;
    bool exited = false; // ended by exit or by returning from main
    int status = -1;     // exit status when `exited`
    int signal = 0;      // terminating signal otherwise
    bool timed_out = false;
    bool stopped = false; // ended by the runner on purpose once its work was done
    std::map<std::string, std::string> files;  // output files found after the run: name -> bytes
    std::map<std::string, std::string> inputs; // the samples it was given (served ones included)
};

struct check_result_t {
    bool ok = true;
    std::string markers; // short summary of the marker lines, for the table
    std::string outputs; // short summary of the output files, for the table
    std::vector<std::string> problems;
};

// Checks one run of `p` against its contract.
check_result_t check_run(const program_t &p, const run_output_t &r);

// The fixed verse of the gzip programs.
extern const std::string gzip_verse;

// The element outline that the XML programs print for `document` (one parse, fresh printer).
std::string xml_outline(const std::string &document);

// The report that the zlib round trip programs print, for the given marker pair.
std::string zlib_report(const std::string &open_marker, const std::string &close_marker);

// The lines of `text` without their newlines; a last line without a newline counts too.
std::vector<std::string> text_lines(const std::string &text);
