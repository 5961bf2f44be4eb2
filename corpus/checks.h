// Contract checks: pure functions from what a run left behind (standard output and error,
// how it ended, the files in its directory) to a verdict with the reasons for a failure.
#pragma once

#include "manifest.h"
#include "png_io.h"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
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

// Validates the check parameters of a manifest entry; throws std::runtime_error naming the
// fault (an unknown kind, a missing or mistyped parameter).
void validate_check(const program_t &p);

// Expected lines, kept as hashes (with a short shown text for the messages), so that a long
// expected output is never held as text.
struct expected_lines_t {
    std::vector<uint64_t> hashes;
    std::map<uint64_t, std::string> shown_text;
    void add(std::string_view line);
    void append(const expected_lines_t &more);
};

// The XML printer's state, which a process-wide printer carries from one parse to the next.
struct printer_state_t {
    int depth = 0;
    std::string last_content;
};

// The lines one XML worker prints for `document` (its length line, the outline, an error
// line), starting from and updating `printer`.
expected_lines_t xml_worker_lines(const std::string &document, printer_state_t &printer);

// The fixed verse of the gzip programs.
extern const std::string gzip_verse;

// The element outline that the XML programs print for `document` (one parse, fresh printer).
std::string xml_outline(const std::string &document);

// The report that the zlib round trip programs print, for the given marker pair.
std::string zlib_report(const std::string &open_marker, const std::string &close_marker);

// The lines of `text` without their newlines; a last line without a newline counts too.
std::vector<std::string_view> text_lines(std::string_view text);
