// Contract checks: pure functions from what a run left behind (standard output and error,
// how it ended, the files in its directory) to a verdict with the reasons for a failure.
#pragma once

#include "png_io.h"
#include "program.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// One line of standard output as the checks keep it: hashes and lengths, never its bytes.
struct output_line_t {
    uint64_t hash = 0;      // of the whole line
    uint64_t text_hash = 0; // of the line without its indentation (its leading spaces)
    size_t indent = 0;      // leading spaces
    size_t length = 0;      // bytes, without the newline
};

// Standard output digested line by line as it is read in pieces: every line's hashes, and the
// first bytes of each distinct text (after the indentation) for the prefixes the checks look at
// and for messages. What it holds depends on the number of distinct lines, not their length.
struct output_lines_t {
    static constexpr size_t head_bytes = 64;
    std::vector<output_line_t> lines;
    std::unordered_map<uint64_t, std::string> heads; // text hash -> its first head_bytes bytes
    size_t size = 0;                                 // bytes in all
    bool ends_in_newline = true;                     // false when the last line has no newline
    // The line being read.
    output_line_t open;
    std::string open_head;
    bool in_line = false;
};

// Adds the next piece of the output; `output_end` closes a last line without a newline.
void output_append(output_lines_t &d, std::string_view piece);
void output_end(output_lines_t &d);

// The digest of a whole text.
output_lines_t output_digest(std::string_view text);

// A line's first bytes (its indentation included), at most head_bytes of them.
std::string output_head(const output_lines_t &d, const output_line_t &l);

struct run_output_t {
    // Standard output: the whole text, or as the runner reads it, its digest (`out_lines`) with
    // the text kept in `out` only while it is at most `kept_output_bytes` (`out_whole`). Without
    // a digest, the checks digest `out`.
    std::string out;
    bool out_whole = true;
    std::optional<output_lines_t> out_lines;
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

// The most standard output the runner keeps as text, for the checks that compare its bytes.
constexpr size_t kept_output_bytes = size_t(8) << 20;

// Reads the standard output file at `path` in pieces into `r`; throws std::runtime_error when it
// cannot be read.
void read_output(const std::string &path, run_output_t &r);

// Checks one run of `p` against its contract.
check_result_t check_run(const program_t &p, const run_output_t &r);

// Reads the "check" of program `p`'s manifest entry; throws std::runtime_error naming the fault
// (an unknown kind, a missing or mistyped parameter, a file the check needs and `p` lacks).
check_spec_t read_check(const nlohmann::json &check, const program_t &p);

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
