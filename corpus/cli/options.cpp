#include "options.h"

#include "detectors.h"
#include "manifest.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

// One line per detector, from the table.
static std::string detector_lines() {
    std::string lines;
    for (const auto &d : detectors()) {
        char buf[256];
        snprintf(buf, sizeof buf, "  %-10s %s; %g s a run%s%s%s\n", d.name, d.help,
                 d.timeout_seconds, *d.default_bin ? "; score runs " : "", d.default_bin,
                 d.run_command ? "" : " (score only)");
        lines += buf;
    }
    return lines;
}

static std::string default_scored() {
    std::string names;
    for (const auto &d : detectors())
        if (d.scored_by_default)
            names += (names.empty() ? "" : ", ") + std::string(d.name);
    return names;
}

std::string usage_text() {
    return "usage: corpus run [options] [PROGRAM...]\n"
           "       corpus score [--tool T]... [options] [PROGRAM...]\n"
           "       corpus merge --out DIR [--manifest FILE] RESULTS-DIR...\n"
           "       corpus list [--manifest FILE]\n"
           "       corpus manifest --from-dir DIR --label-suffix yes=race,no=none\n"
           "                       [--env NAME=VALUE]... > suite.json\n"
           "options:\n"
           "  --tool " +
           detector_names(true) +
           "  run under a detector (below)\n"
           "  --bin DIR        folder of the programs (default " CORPUS_PROGRAM_DIR ")\n"
           "  --repeat N       run each program N times and report k of N (1 to 100000)\n"
           "  --until-detected N  (score) run each program until a tool first reports on it,\n"
           "                   at most N times, and record the runs it took\n"
           "  --timeout S      time limit of one run in seconds (default 60 natively, a\n"
           "                   detector's own below)\n"
           "  --suppress       apply the suppression files for known library noise\n"
           "  --perturb SEED   schedule noise: delay threads at random (drawn from SEED) at\n"
           "                   thread start, lock, unlock and library sections; under valgrind\n"
           "                   its fair scheduler instead (score: each tool with and without)\n"
           "  --jobs N         up to N runs at once, each in its own directory (default 1;\n"
           "                   the program with a window runs alone)\n"
           "  --shard K/N      run only shard K of N of the (program, repeat) pairs: pair i\n"
           "                   (program by program, repeats in order, from 0) goes to shard\n"
           "                   i mod N + 1; default from CI_NODE_INDEX/CI_NODE_TOTAL or\n"
           "                   TEST_SHARD_INDEX/TEST_TOTAL_SHARDS\n"
           "  --trace          record when each thread is inside its library work and holds\n"
           "                   the lock (CORPUS_TRACE), with figures and a timeline per program\n"
           "  --variant V      only programs of variant V (serialized, unserialized,\n"
           "                   single-threaded)\n"
           "  --out DIR        where tables and run directories go (default " CORPUS_RESULTS_DIR
           ")\n"
           "  --samples DIR    folder of the input files (default samples/ of the sources)\n"
           "  --manifest FILE  the manifest (default " CORPUS_MANIFEST ", merged from each\n"
           "                   subsystem folder's manifest.json)\n"
           "  --ledger FILE    the findings ledger that judges reports inside libraries\n"
           "                   (default corpus/judging/findings.json of the sources)\n"
           "detectors:\n" +
           detector_lines() +
           "score: runs every selected program --repeat times under each --tool (default " +
           default_scored() +
           ") and scores the reports against the race labels of the manifest; a detector\n"
           "runs the programs of its folder above (under the sources), or of --bin;\n"
           "--bin-for TOOL=DIR gives one tool another folder; --tool NAME@PRESET runs tool NAME "
           "on\n"
           "the programs of build/PRESET/bin (tsan@tsan-clang-16), named in the scorecard by the\n"
           "compiler that built them.\n"
           "--manifest FILE takes programs from outside the corpus (see the README).\n"
           "manifest: prints a manifest for a folder of executables whose file names end in\n"
           "-SUFFIX or _SUFFIX (before any extension), labelled racy or race-free by suffix;\n"
           "each entry expects exit status 0 and gets every --env.\n";
}

bool parse_count(const std::string &text, long long min, long long max, long long &value) {
    if (text.empty() || text.size() > 18)
        return false;
    for (char ch : text)
        if (ch < '0' || ch > '9')
            return false;
    long long v = std::stoll(text);
    if (v < min || v > max)
        return false;
    value = v;
    return true;
}

bool parse_seconds(const std::string &text, double min, double max, double &value) {
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos)
        return false;
    char *end = nullptr;
    errno = 0;
    double v = strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(v) || v < min || v > max)
        return false;
    value = v;
    return true;
}

bool parse_shard(const std::string &text, shard_t &shard) {
    size_t slash = text.find('/');
    long long k = 0, n = 0;
    if (slash == std::string::npos || !parse_count(text.substr(0, slash), 1, 100000, k) ||
        !parse_count(text.substr(slash + 1), 1, 100000, n) || k > n)
        return false;
    shard = {int(k), int(n)};
    return true;
}

bool shard_from_environment(shard_t &shard, std::string &error) {
    auto get = [](const char *name) {
        const char *v = getenv(name);
        return std::string(v ? v : "");
    };
    const std::string gitlab_index = get("CI_NODE_INDEX"), gitlab_total = get("CI_NODE_TOTAL");
    const std::string bazel_index = get("TEST_SHARD_INDEX"), bazel_total = get("TEST_TOTAL_SHARDS");
    if (!gitlab_total.empty()) {
        if (!parse_shard(gitlab_index + "/" + gitlab_total, shard)) {
            error = "CI_NODE_INDEX/CI_NODE_TOTAL (" + gitlab_index + "/" + gitlab_total +
                    ") is no shard";
            return false;
        }
    } else if (!bazel_total.empty()) {
        long long index = 0;
        if (!parse_count(bazel_index, 0, 99999, index) ||
            !parse_shard(std::to_string(index + 1) + "/" + bazel_total, shard)) {
            error = "TEST_SHARD_INDEX/TEST_TOTAL_SHARDS (" + bazel_index + "/" + bazel_total +
                    ") is no shard";
            return false;
        }
        // Bazel asks the test to say that it shards by touching this file.
        const std::string status = get("TEST_SHARD_STATUS_FILE");
        if (!status.empty()) {
            FILE *f = fopen(status.c_str(), "a");
            if (!f || fclose(f) != 0) {
                error = "cannot touch TEST_SHARD_STATUS_FILE " + status;
                return false;
            }
        }
    }
    return true;
}

bool parse_command_line(int argc, char **argv, options_t &opt, std::string &error) {
    opt.bin = CORPUS_PROGRAM_DIR;
    opt.out = CORPUS_RESULTS_DIR;
    opt.source_dir = CORPUS_SOURCE_DIR;
    opt.manifest = CORPUS_MANIFEST;
    opt.samples = opt.source_dir + "/samples";
    opt.suppressions = opt.source_dir + "/corpus/detectors/suppressions";
    opt.ledger = opt.source_dir + "/corpus/judging/findings.json";
    if (argc < 2) {
        error = "no command";
        return false;
    }
    opt.command = argv[1];
    if (opt.command == "-h" || opt.command == "--help") {
        opt.help = true;
        return true;
    }
    if (opt.command != "run" && opt.command != "list" && opt.command != "score" &&
        opt.command != "manifest" && opt.command != "merge") {
        error = "unknown command " + opt.command;
        return false;
    }
    bool shard_given = false, repeat_given = false, until_given = false;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        std::string v;
        auto value = [&]() {
            if (i + 1 >= argc) {
                error = a + " needs a value";
                return false;
            }
            v = argv[++i];
            return true;
        };
        if (a == "--tool") {
            if (!value())
                return false;
            // score: "tsan@tsan-clang-16" is a detector on the programs of another preset's
            // build (build/<preset>/bin), so that builds of several compilers stand side by side.
            const size_t at = v.find('@');
            if (at != std::string::npos &&
                (opt.command != "score" || !plain_program_name(v.substr(at + 1)))) {
                error = "--tool NAME@PRESET is for corpus score, with a preset's name, not \"" + v +
                        "\"";
                return false;
            }
            const detector_t *d = find_detector(v.substr(0, at));
            if (!d) {
                error = "unknown tool " + v;
                return false;
            }
            if (!d->run_command && opt.command != "score") {
                error = "corpus run takes --tool " + std::string(d->runs_as) + " with --bin " +
                        d->default_bin;
                return false;
            }
            if (std::find(opt.tools.begin(), opt.tools.end(), v) != opt.tools.end()) {
                error = "--tool " + v + " is given twice";
                return false;
            }
            opt.tool = v;
            opt.tools.push_back(v);
        } else if (a == "--bin" || a == "--out" || a == "--samples" || a == "--manifest" ||
                   a == "--ledger") {
            if (!value())
                return false;
            if (v.empty()) {
                error = a + " needs a path";
                return false;
            }
            std::string path = fs::absolute(v).lexically_normal().string();
            if (path.size() > 1 && path.back() == '/')
                path.pop_back();
            (a == "--bin"       ? opt.bin
             : a == "--out"     ? opt.out
             : a == "--samples" ? opt.samples
             : a == "--ledger"  ? opt.ledger
                                : opt.manifest) = path;
        } else if (a == "--jobs") {
            long long n = 0;
            if (!value())
                return false;
            if (!parse_count(v, 1, 64, n)) {
                error = "--jobs needs a whole number from 1 to 64, not \"" + v + "\"";
                return false;
            }
            opt.jobs = int(n);
        } else if (a == "--shard") {
            if (!value())
                return false;
            if (!parse_shard(v, opt.shard)) {
                error = "--shard needs K/N with 1 <= K <= N, not \"" + v + "\"";
                return false;
            }
            shard_given = true;
        } else if (a == "--bin-for") {
            if (!value())
                return false;
            size_t eq = v.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == v.size()) {
                error = "--bin-for needs TOOL=DIR, not \"" + v + "\"";
                return false;
            }
            const std::string tool = v.substr(0, eq);
            if (!find_detector(tool.substr(0, tool.find('@')))) {
                error = "--bin-for names a detector, not \"" + tool + "\" (" +
                        detector_names(false) + ")";
                return false;
            }
            opt.tool_bins[tool] = fs::absolute(v.substr(eq + 1)).lexically_normal();
        } else if (a == "--from-dir" || a == "--label-suffix" || a == "--env") {
            if (!value())
                return false;
            if (a == "--env" && (v.find('=') == std::string::npos || v[0] == '=')) {
                error = "--env needs NAME=VALUE, not \"" + v + "\"";
                return false;
            }
            if (a == "--from-dir")
                opt.from_dir = fs::absolute(v).lexically_normal().string();
            else if (a == "--label-suffix")
                opt.label_suffix = v;
            else
                opt.entry_env.push_back(v);
        } else if (a == "--repeat" || a == "--until-detected") {
            long long n = 0;
            if (!value())
                return false;
            if (!parse_count(v, 1, 100000, n)) {
                error = a + " needs a whole number from 1 to 100000, not \"" + v + "\"";
                return false;
            }
            (a == "--repeat" ? opt.repeat : opt.until_detected) = int(n);
            (a == "--repeat" ? repeat_given : until_given) = true;
        } else if (a == "--timeout") {
            if (!value())
                return false;
            if (!parse_seconds(v, 0.001, 86400, opt.timeout)) {
                error = "--timeout needs a number of seconds above 0 and at most 86400, not \"" +
                        v + "\"";
                return false;
            }
        } else if (a == "--perturb") {
            long long n = 0;
            if (!value())
                return false;
            if (!parse_count(v, 0, 4294967295LL, n)) {
                error = "--perturb needs a seed from 0 to 4294967295, not \"" + v + "\"";
                return false;
            }
            opt.perturb = true;
            opt.perturb_seed = static_cast<unsigned long long>(n);
        } else if (a == "--suppress") {
            opt.suppress = true;
        } else if (a == "--trace") {
            opt.trace = true;
        } else if (a == "--variant") {
            if (!value())
                return false;
            if (!variant_named(v)) {
                error = "unknown variant " + v;
                return false;
            }
            opt.variant = v;
        } else if (a == "-h" || a == "--help") {
            opt.help = true;
        } else if (!a.empty() && a[0] == '-') {
            error = "unknown option " + a;
            return false;
        } else {
            opt.programs.push_back(a);
        }
    }
    if (!shard_given && (opt.command == "run" || opt.command == "score") &&
        !shard_from_environment(opt.shard, error))
        return false;
    if (opt.command == "manifest" && (opt.from_dir.empty() || opt.label_suffix.empty())) {
        error = "corpus manifest needs --from-dir DIR and --label-suffix SUFFIX=race|none,...";
        return false;
    }
    if (opt.command == "merge") {
        // The folders to merge, as absolute paths.
        for (auto &d : opt.programs)
            d = fs::absolute(d).lexically_normal().string();
        if (opt.programs.empty()) {
            error = "corpus merge needs the results folders to merge";
            return false;
        }
    }
    if (until_given && (opt.command != "score" || repeat_given)) {
        error = "--until-detected is for corpus score, without --repeat";
        return false;
    }
    if (until_given && opt.shard.count > 1) {
        error = "--until-detected runs each program whole: it takes no shard";
        return false;
    }
    if (opt.command == "run" && opt.tools.size() > 1) {
        error = "corpus run takes one --tool";
        return false;
    }
    return true;
}
