// What the check kinds share: reading standard output's lines, the common parts of a contract
// (exit status, standard error, markers, the launcher's lines) and each kind's two functions,
// which read its parameters from the manifest and check a run. Each kind lives in a file of its
// own (xml_check.cpp, png_check.cpp, ...); checks.cpp holds the table of kinds.
#pragma once

#include "checks.h"
#include "contract.h"
#include "fnv1a.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

inline const std::string zlib_text = contract::zlib_text;
inline const int workers = contract::workers;
inline const std::string creating = contract::creating_prefix;
inline const std::string result_line = std::string(contract::result_prefix) + "0";

// --- Failures and how they show a text ----------------------------------------------------------

void fail(check_result_t &c, const std::string &problem);
// `s` quoted for a message, cut at 60 bytes, other than printable ASCII as '?'.
std::string shown(std::string_view s);
// A line's head is longer than what a message shows, so a cut line is marked as such.
std::string shown_line(const output_lines_t &d, const output_line_t &l);

// --- Lines, compared by a 64-bit hash of their bytes ------------------------------------------

uint64_t line_hash(std::string_view s);
bool line_is(const output_line_t &l, std::string_view text);
int count_line(const output_lines_t &out, const std::string &line);
// The lines are exactly `want`, in order.
bool lines_are(const output_lines_t &out, const std::vector<std::string> &want);
// The whole line when it is short enough to have been kept whole.
std::optional<std::string> line_text(const output_lines_t &d, const output_line_t &l);
bool line_starts_with(const output_lines_t &d, const output_line_t &l, std::string_view prefix);

// --- The common parts of a contract -----------------------------------------------------------

// Exit status 0 after a normal end.
void check_exit(check_result_t &c, const run_output_t &r);
// The whole standard output, for the checks that compare its bytes; null (and a failure) when
// it was too long to be kept.
const std::string *whole_output(check_result_t &c, const run_output_t &r,
                                const output_lines_t &out);
void check_no_stderr(check_result_t &c, const run_output_t &r);
// The lines are the expected ones in some order: lines of different threads interleave freely,
// but each line is printed whole. With `unindented`, lines are compared without their
// indentation.
void check_same_lines(check_result_t &c, const output_lines_t &actual,
                      const expected_lines_t &expected, bool unindented = false);
void check_same_lines(check_result_t &c, const output_lines_t &actual,
                      const std::vector<std::string> &expected);
// The launcher's lines: one creation line per worker, and with `results` their result lines.
std::vector<std::string> launcher_lines(bool results);
bool is_launcher_line(const output_lines_t &out, const output_line_t &l);
// The creation lines come in index order.
void check_launcher_order(check_result_t &c, const output_lines_t &out);
std::string marker_summary(const output_lines_t &lines, const program_t &p);
void check_marker_counts(check_result_t &c, const output_lines_t &lines, const program_t &p,
                         int want);
// Each worker prints its closing marker after its opening one.
void check_marker_pairs(check_result_t &c, const output_lines_t &lines, const program_t &p);
// The bytes of input `name` the run was given ("" when none).
std::string input(const run_output_t &r, const std::string &name);

// --- Parameters: a missing or mistyped one is an error of the manifest, never a default -------

// The whole number `key` of the check, at most 100000, positive or (with `zero_allowed`) zero.
unsigned required_count(const nlohmann::json &check, const char *key, bool zero_allowed);
// A check that reads files needs them named in the entry's `what` ("inputs", "outputs").
void require_listed(const std::vector<std::string> &names, const char *what);

// --- The kinds ----------------------------------------------------------------------------------

void read_xml(const nlohmann::json &check, const program_t &p, check_spec_t &s);
void read_xml_fanout(const nlohmann::json &check, const program_t &p, check_spec_t &s);
void check_xml_single(check_result_t &c, const program_t &p, const run_output_t &r,
                      const output_lines_t &out);
void check_xml_fanout(check_result_t &c, const program_t &p, const run_output_t &r,
                      const output_lines_t &lines);
void read_png(const nlohmann::json &check, const program_t &p, check_spec_t &s);
void check_png_fanout(check_result_t &c, const program_t &p, const run_output_t &r,
                      const output_lines_t &lines);
void read_image_crop(const nlohmann::json &check, const program_t &p, check_spec_t &s);
void check_image_crop(check_result_t &c, const program_t &p, const run_output_t &r,
                      const output_lines_t &lines);
void read_download(const nlohmann::json &check, const program_t &p, check_spec_t &s);
void check_download(check_result_t &c, const program_t &p, const run_output_t &r,
                    const output_lines_t &out);
void read_nothing(const nlohmann::json &check, const program_t &p, check_spec_t &s);
void check_zlib_roundtrip(check_result_t &c, const program_t &p, const run_output_t &r,
                          const output_lines_t &out);
void read_gzip(const nlohmann::json &check, const program_t &p, check_spec_t &s);
void check_gzip_stream(check_result_t &c, const program_t &p, const run_output_t &r,
                       const output_lines_t &lines);
void read_omp(const nlohmann::json &check, const program_t &p, check_spec_t &s);
void check_omp_hello(check_result_t &c, const program_t &p, const run_output_t &r,
                     const output_lines_t &out);
void read_exit(const nlohmann::json &check, const program_t &p, check_spec_t &s);
void check_exit_status(check_result_t &c, const program_t &p, const run_output_t &r,
                       const output_lines_t &out);
