#include "options.h"

#include "detectors.h"
#include "manifest.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>

namespace fs = std::filesystem;

// One line per detector, from the table.
static std::string detector_lines() {
    std::string lines;
    for (const auto &d : detectors()) {
        char buf[256];
        snprintf(buf, sizeof buf, "  %-10s %s; %g s a run%s%s%s\n", d.name.c_str(), d.help.c_str(),
                 d.timeout_seconds, d.default_bin.empty() ? "" : "; score runs ",
                 d.default_bin.c_str(), d.run_command ? "" : " (score only)");
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

namespace {
// What the options given so far said beyond the record itself.
struct seen_t {
    bool shard = false, repeat = false, until = false;
};

// One option: as --help shows it ("--repeat N": its name, then its value, if it takes one), its
// help (lines after the first are indented under the first; none: not listed among the
// options), the commands that take it, and what it sets: "" or the usage error.
struct option_spec_t {
    std::string usage;
    std::string help;
    std::vector<std::string> commands;
    std::function<std::string(options_t &opt, seen_t &seen, const std::string &value)> set;
};
} // namespace

static const std::vector<std::string> running{"run", "score"};
static const std::vector<std::string> reading{"run", "score", "merge"};

// An absolute, normal path without a trailing '/'; "" for an empty value.
static std::string absolute_path(const std::string &v) {
    if (v.empty())
        return "";
    std::string path = fs::absolute(v).lexically_normal().string();
    if (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

static option_spec_t path_option(const char *usage, const char *help,
                                 std::vector<std::string> commands,
                                 std::string run_settings_t::*field) {
    const std::string name = std::string(usage).substr(0, std::string(usage).find(' '));
    return {usage, help, std::move(commands),
            [name, field](options_t &opt, seen_t &, const std::string &v) {
                opt.*field = absolute_path(v);
                return v.empty() ? name + " needs a path" : "";
            }};
}

static std::string set_tool(options_t &opt, seen_t &, const std::string &v) {
    // score: "tsan@tsan-clang-16" is a detector on the programs of another preset's build
    // (build/<preset>/bin), so that builds of several compilers stand side by side.
    const size_t at = v.find('@');
    if (at != std::string::npos &&
        (opt.command != "score" || !plain_program_name(v.substr(at + 1))))
        return "--tool NAME@PRESET is for corpus score, with a preset's name, not \"" + v + "\"";
    const detector_t *d = find_detector(v.substr(0, at));
    if (!d)
        return "unknown tool " + v;
    if (!d->run_command && opt.command != "score")
        return "corpus run takes --tool " + std::string(d->runs_as) + " with --bin " +
               d->default_bin;
    if (std::find(opt.tools.begin(), opt.tools.end(), v) != opt.tools.end())
        return "--tool " + v + " is given twice";
    opt.tool = v;
    opt.tools.push_back(v);
    return "";
}

static std::string set_bin_for(options_t &opt, seen_t &, const std::string &v) {
    size_t eq = v.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == v.size())
        return "--bin-for needs TOOL=DIR, not \"" + v + "\"";
    const std::string tool = v.substr(0, eq);
    if (!find_detector(tool.substr(0, tool.find('@'))))
        return "--bin-for names a detector, not \"" + tool + "\" (" + detector_names(false) + ")";
    opt.tool_bins[tool] = fs::absolute(v.substr(eq + 1)).lexically_normal();
    return "";
}

// --repeat N and --until-detected N: a whole number of runs, from 1 to 100000.
static std::string set_runs(const std::string &name, const std::string &v, int &into, bool &given) {
    long long n = 0;
    if (!parse_count(v, 1, 100000, n))
        return name + " needs a whole number from 1 to 100000, not \"" + v + "\"";
    into = int(n);
    given = true;
    return "";
}

static std::string set_repeat(options_t &opt, seen_t &seen, const std::string &v) {
    return set_runs("--repeat", v, opt.repeat, seen.repeat);
}

static std::string set_until_detected(options_t &opt, seen_t &seen, const std::string &v) {
    return set_runs("--until-detected", v, opt.until_detected, seen.until);
}

static std::string set_timeout(options_t &opt, seen_t &, const std::string &v) {
    if (!parse_seconds(v, 0.001, 86400, opt.timeout))
        return "--timeout needs a number of seconds above 0 and at most 86400, not \"" + v + "\"";
    return "";
}

static std::string set_perturb(options_t &opt, seen_t &, const std::string &v) {
    long long n = 0;
    if (!parse_count(v, 0, 4294967295LL, n))
        return "--perturb needs a seed from 0 to 4294967295, not \"" + v + "\"";
    opt.perturb = true;
    opt.perturb_seed = static_cast<unsigned long long>(n);
    return "";
}

static std::string set_jobs(options_t &opt, seen_t &, const std::string &v) {
    long long n = 0;
    if (!parse_count(v, 1, 64, n))
        return "--jobs needs a whole number from 1 to 64, not \"" + v + "\"";
    opt.jobs = int(n);
    return "";
}

static std::string set_shard(options_t &opt, seen_t &seen, const std::string &v) {
    if (!parse_shard(v, opt.shard))
        return "--shard needs K/N with 1 <= K <= N, not \"" + v + "\"";
    seen.shard = true;
    return "";
}

static std::string set_variant(options_t &opt, seen_t &, const std::string &v) {
    if (!variant_named(v))
        return "unknown variant " + v;
    opt.variant = v;
    return "";
}

static std::string set_env(options_t &opt, seen_t &, const std::string &v) {
    if (v.find('=') == std::string::npos || v[0] == '=')
        return "--env needs NAME=VALUE, not \"" + v + "\"";
    opt.entry_env.push_back(v);
    return "";
}

// Every option, in the order --help lists them.
static const std::vector<option_spec_t> option_table{
    // "{detectors}": the names of the detectors known when --help is printed.
    {"--tool {detectors}", "run under a detector (below)", running, set_tool},
    {"--detector FILE",
     "a detector's file (see the README); its detector is then one\n"
     "--tool may name, as the built-in ones (corpus/detectors/builtin/)",
     {"run", "score", "merge", "detectors"},
     [](options_t &, seen_t &, const std::string &) { return std::string(); }},
    path_option("--bin DIR", "folder of the programs (default " CORPUS_PROGRAM_DIR ")", running,
                &run_settings_t::bin),
    {"--repeat N", "run each program N times and report k of N (1 to 100000)", running, set_repeat},
    {"--until-detected N",
     "(score) run each program until a tool first reports on it,\n"
     "at most N times, and record the runs it took",
     {"score"},
     set_until_detected},
    {"--timeout S",
     "time limit of one run in seconds (default 60 natively, a\ndetector's own below)", running,
     set_timeout},
    {"--suppress", "apply the suppression files for known library noise", running,
     [](options_t &opt, seen_t &, const std::string &) {
         opt.suppress = true;
         return std::string();
     }},
    {"--perturb SEED",
     "schedule noise: delay threads at random (drawn from SEED) at\n"
     "thread start, lock, unlock and library sections; under valgrind\n"
     "its fair scheduler instead (score: each tool with and without)",
     running, set_perturb},
    {"--jobs N",
     "up to N runs at once, each in its own directory (default 1;\n"
     "the program with a window runs alone)",
     running, set_jobs},
    {"--shard K/N",
     "run only shard K of N of the (program, repeat) pairs: pair i\n"
     "(program by program, repeats in order, from 0) goes to shard\n"
     "i mod N + 1; default from CI_NODE_INDEX/CI_NODE_TOTAL or\n"
     "TEST_SHARD_INDEX/TEST_TOTAL_SHARDS",
     running, set_shard},
    {"--trace",
     "record when each thread is inside its library work and holds\n"
     "the lock (CORPUS_TRACE), with figures and a timeline per program",
     running,
     [](options_t &opt, seen_t &, const std::string &) {
         opt.trace = true;
         return std::string();
     }},
    {"--variant V", "only programs of variant V (serialized, unserialized,\nsingle-threaded)",
     running, set_variant},
    path_option("--out DIR", "where tables and run directories go (default " CORPUS_RESULTS_DIR ")",
                reading, &run_settings_t::out),
    path_option("--samples DIR", "folder of the input files (default samples/ of the sources)",
                running, &run_settings_t::samples),
    path_option("--manifest FILE",
                "the manifest (default " CORPUS_MANIFEST ", merged from each\n"
                "subsystem folder's manifest.json)",
                {"run", "score", "merge", "list"}, &run_settings_t::manifest),
    path_option("--ledger FILE",
                "the findings ledger that judges reports inside libraries\n"
                "(default corpus/judging/findings.json of the sources)",
                reading, &run_settings_t::ledger),
    // Told in the paragraphs under the options.
    {"--bin-for TOOL=DIR", "", {"score"}, set_bin_for},
    {"--from-dir DIR",
     "",
     {"manifest"},
     [](options_t &opt, seen_t &, const std::string &v) {
         opt.from_dir = fs::absolute(v).lexically_normal().string();
         return std::string();
     }},
    {"--label-suffix SUFFIXES",
     "",
     {"manifest"},
     [](options_t &opt, seen_t &, const std::string &v) {
         opt.label_suffix = v;
         return std::string();
     }},
    {"--env NAME=VALUE", "", {"manifest"}, set_env},
};

// The options as --help lists them: the help beside each, its later lines indented under the
// first.
static std::string option_lines() {
    std::string lines;
    for (const auto &o : option_table) {
        if (o.help.empty())
            continue;
        std::string usage = o.usage;
        if (const size_t at = usage.find("{detectors}"); at != std::string::npos)
            usage.replace(at, 11, detector_names(true));
        lines +=
            "  " + usage + std::string(std::max<size_t>(17, usage.size() + 2) - usage.size(), ' ');
        for (char ch : o.help)
            lines += ch == '\n' ? "\n" + std::string(19, ' ') : std::string(1, ch);
        lines += "\n";
    }
    return lines;
}

std::string usage_text() {
    return "usage: corpus run [options] [PROGRAM...]\n"
           "       corpus score [--tool T]... [options] [PROGRAM...]\n"
           "       corpus merge --out DIR [--manifest FILE] RESULTS-DIR...\n"
           "       corpus list [--manifest FILE]\n"
           "       corpus manifest --from-dir DIR --label-suffix yes=race,no=none\n"
           "                       [--env NAME=VALUE]... > suite.json\n"
           "       corpus detectors [--detector FILE]...\n"
           "options:\n" +
           option_lines() + "detectors:\n" + detector_lines() +
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

static void set_defaults(options_t &opt) {
    opt.bin = CORPUS_PROGRAM_DIR;
    opt.out = CORPUS_RESULTS_DIR;
    opt.source_dir = CORPUS_SOURCE_DIR;
    opt.manifest = CORPUS_MANIFEST;
    opt.samples = opt.source_dir + "/samples";
    opt.suppressions = opt.source_dir + "/corpus/detectors/suppressions";
    opt.ledger = opt.source_dir + "/corpus/judging/findings.json";
}

// What the options say together, once all are read: "" or the usage error.
static std::string combination_fault(options_t &opt, const seen_t &seen) {
    std::string error;
    if (!seen.shard && (opt.command == "run" || opt.command == "score") &&
        !shard_from_environment(opt.shard, error))
        return error;
    if (opt.command == "manifest" && (opt.from_dir.empty() || opt.label_suffix.empty()))
        return "corpus manifest needs --from-dir DIR and --label-suffix SUFFIX=race|none,...";
    if (opt.command == "merge") {
        // The folders to merge, as absolute paths.
        for (auto &d : opt.programs)
            d = fs::absolute(d).lexically_normal().string();
        if (opt.programs.empty())
            return "corpus merge needs the results folders to merge";
    }
    if (seen.until && seen.repeat)
        return "--until-detected is for corpus score, without --repeat";
    if (seen.until && opt.shard.count > 1)
        return "--until-detected runs each program whole: it takes no shard";
    if (opt.command == "run" && opt.tools.size() > 1)
        return "corpus run takes one --tool";
    return "";
}

bool parse_command_line(int argc, char **argv, options_t &opt, std::string &error) {
    set_defaults(opt);
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
        opt.command != "manifest" && opt.command != "merge" && opt.command != "detectors") {
        error = "unknown command " + opt.command;
        return false;
    }
    // Detector files first, so that --tool may name theirs wherever it stands.
    for (int i = 2; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--detector") {
            try {
                add_detector_file(fs::absolute(argv[++i]).lexically_normal().string());
            } catch (const std::runtime_error &e) {
                error = e.what();
                return false;
            }
        }
    seen_t seen;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            opt.help = true;
            continue;
        }
        if (a.empty() || a[0] != '-') {
            opt.programs.push_back(a);
            continue;
        }
        const auto &table = option_table;
        auto o = std::find_if(table.begin(), table.end(), [&](const option_spec_t &o) {
            return o.usage.substr(0, o.usage.find(' ')) == a;
        });
        if (o == table.end())
            error = "unknown option " + a;
        else if (std::find(o->commands.begin(), o->commands.end(), opt.command) ==
                 o->commands.end())
            error = "corpus " + opt.command + " takes no " + a;
        else if (o->usage.find(' ') != std::string::npos && i + 1 >= argc)
            error = a + " needs a value";
        else
            error = o->set(opt, seen, o->usage.find(' ') != std::string::npos ? argv[++i] : "");
        if (!error.empty())
            return false;
    }
    error = combination_fault(opt, seen);
    return error.empty();
}
