// The settings of a run of the corpus: what running, the provenance and the results files need
// to know of the command line, and nothing more of it.
#pragma once

#include <string>

// A share of the work: items whose number modulo `count` is `index` - 1.
struct shard_t {
    int index = 1, count = 1;
};

struct run_settings_t {
    std::string tool; // the detector ("" for none), as --tool names it
    // Folders; the command line starts them at the build's defaults.
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
};

// "native" or the tool, with "-suppressed" when suppressions apply and "-perturbed" under
// schedule noise: the results folder's name.
inline std::string mode_name(const run_settings_t &s) {
    return (s.tool.empty() ? std::string("native") : s.tool) + (s.suppress ? "-suppressed" : "") +
           (s.perturb ? "-perturbed" : "");
}

// A tool of the scorecard: a detector, the preset whose programs it runs ("" for its own
// build's) and whether schedule noise was added. Named "tsan", "tsan@tsan-clang-16" or
// "helgrind-perturbed" in folder names and score.json.
struct tool_id_t {
    std::string detector, preset;
    bool perturbed = false;
};

// As --tool spells it: "tsan@tsan-clang-16".
inline std::string tool_spec(const tool_id_t &t) {
    return t.detector + (t.preset.empty() ? "" : "@" + t.preset);
}

// The name of its results: tool_spec with "-perturbed" under noise.
inline std::string tool_name(const tool_id_t &t) {
    return tool_spec(t) + (t.perturbed ? "-perturbed" : "");
}

// The tool that `name` (a tool_spec or tool_name) names.
inline tool_id_t tool_named(const std::string &name) {
    static const std::string noise = "-perturbed";
    tool_id_t t;
    std::string spec = name;
    if (spec.size() > noise.size() &&
        spec.compare(spec.size() - noise.size(), noise.size(), noise) == 0) {
        t.perturbed = true;
        spec.resize(spec.size() - noise.size());
    }
    const size_t at = spec.find('@');
    t.detector = spec.substr(0, at);
    t.preset = at == std::string::npos ? "" : spec.substr(at + 1);
    return t;
}
