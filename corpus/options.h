// The runner's command line: one record of options, parsed strictly (a value that is not
// entirely a number in range is refused, never read as a prefix or a default).
#pragma once

#include <string>
#include <vector>

struct options_t {
    std::string command;  // "run", "list" or "score"
    std::string tool;     // "", "tsan", "helgrind", "drd" or "memcheck"
    std::vector<std::string> tools; // score: every --tool given, in order
    // Folders; parse_command_line starts them at the build's defaults.
    std::string bin, out, manifest, samples, suppressions, source_dir;
    int repeat = 1;
    double timeout = 0; // seconds per run; 0: the default of the tool
    bool suppress = false;
    std::string variant;
    std::vector<std::string> programs;
    bool help = false;
};

// Parses argv into `opt`. On a usage error returns false with `error` set.
bool parse_command_line(int argc, char **argv, options_t &opt, std::string &error);

// The usage text.
std::string usage_text();

// Whole-string number parsing: false unless all of `text` is a number within [min, max].
bool parse_count(const std::string &text, long long min, long long max, long long &value);
bool parse_seconds(const std::string &text, double min, double max, double &value);

bool is_valgrind_tool(const std::string &tool);

// "native" or the tool, with "-suppressed" when suppressions apply: the results folder's name.
std::string mode_name(const options_t &opt);

// The time limit of one run under the chosen tool.
double run_timeout(const options_t &opt, const std::string &tool);
