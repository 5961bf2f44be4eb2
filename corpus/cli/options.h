// The runner's command line: one record of options, parsed strictly (a value that is not
// entirely a number in range is refused, never read as a prefix or a default).
#pragma once

#include "settings.h"

#include <map>
#include <string>
#include <vector>

// The command line: the settings of the runs, and what only the commands themselves read.
struct options_t : run_settings_t {
    std::string command;                          // "run", "list", "score" or "manifest"
    std::vector<std::string> tools;               // score: every --tool given, in order
    std::map<std::string, std::string> tool_bins; // score: --bin-for TOOL=DIR
    std::string variant;
    std::vector<std::string> programs;
    bool help = false;
    // corpus manifest: the folder of executables, the label suffixes ("yes=race,no=none") and
    // the environment given to every entry.
    std::string from_dir, label_suffix;
    std::vector<std::string> entry_env;
};

// Parses argv into `opt`. On a usage error returns false with `error` set.
bool parse_command_line(int argc, char **argv, options_t &opt, std::string &error);

// The usage text.
std::string usage_text();

// Whole-string number parsing: false unless all of `text` is a number within [min, max].
bool parse_count(const std::string &text, long long min, long long max, long long &value);
bool parse_seconds(const std::string &text, double min, double max, double &value);

// "K/N": shard K of N (1 <= K <= N <= 100000).
bool parse_shard(const std::string &text, shard_t &shard);

// The shard that CI asks for when no --shard is given: GitLab's CI_NODE_INDEX/CI_NODE_TOTAL
// (1-based) or Bazel's TEST_SHARD_INDEX/TEST_TOTAL_SHARDS (0-based; TEST_SHARD_STATUS_FILE is
// touched to say the runner shards). False with `error` set when they are malformed.
bool shard_from_environment(shard_t &shard, std::string &error);
