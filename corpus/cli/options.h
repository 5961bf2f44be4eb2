// The runner's command line: one record of options, parsed strictly (a value that is not
// entirely a number in range is refused, never read as a prefix or a default).
#pragma once

#include <map>
#include <string>
#include <vector>

// A share of the work: items whose number modulo `count` is `index` - 1.
struct shard_t {
    int index = 1, count = 1;
};

struct options_t {
    std::string command;                          // "run", "list", "score" or "manifest"
    std::string tool;                             // "", "tsan", "helgrind", "drd" or "memcheck"
    std::vector<std::string> tools;               // score: every --tool given, in order
    std::map<std::string, std::string> tool_bins; // score: --bin-for TOOL=DIR
    // Folders; parse_command_line starts them at the build's defaults.
    std::string bin, out, manifest, samples, suppressions, source_dir;
    std::string ledger; // the findings ledger that judges reports inside libraries
    int repeat = 1;
    // score --until-detected N: each program runs until its first detection, at most N times
    // (0: --repeat runs); the runs are numbered from `first_repeat`.
    int until_detected = 0;
    int first_repeat = 1;
    double timeout = 0; // seconds per run; 0: the default of the tool
    bool suppress = false;
    bool trace = false; // record and judge where each thread's library work runs
    // --perturb SEED: schedule noise in every run (score: each tool with and without it)
    bool perturb = false;
    unsigned long long perturb_seed = 0;
    shard_t shard; // --shard K/N, or from the CI's environment
    int jobs = 1;  // runs at once
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

// "native" or the tool, with "-suppressed" when suppressions apply: the results folder's name.
std::string mode_name(const options_t &opt);

// The time limit of one run under the chosen tool.
double run_timeout(const options_t &opt, const std::string &tool);
