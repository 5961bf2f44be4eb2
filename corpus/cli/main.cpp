// corpus: runs the programs of the corpus, natively or under a race or memory detector, checks
// every run against the program's contract and reports a table (also as CSV and JSON).
#include "detectors.h"
#include "files.h"
#include "manifest.h"
#include "merge.h"
#include "options.h"
#include "provenance.h"
#include "results.h"
#include "run.h"
#include "score.h"
#include "services.h"
#include "xml_text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <sys/file.h>
#include <unistd.h>

namespace fs = std::filesystem;

// Holds the output folder for this process: a second runner writing into it would mix its
// runs with ours and blame the programs for the result. The lock goes with the process.
static void claim_output_folder(const std::string &out) {
    make_dirs(out);
    const std::string path = out + "/.corpus.lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        throw runner_error("cannot open " + path + ": " + strerror(errno));
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            throw runner_error("the output folder " + out +
                               " is in use by another corpus run; wait for it to end or give "
                               "another --out");
        throw runner_error("cannot lock " + path + ": " + strerror(errno));
    }
    // Deliberately kept open until the process ends. Holding it, this runner is the only one
    // here: what a runner killed outright left running in this folder is ended first, and
    // this runner keeps its own record.
    const std::string record = out + "/.corpus.running";
    if (int ended = end_recorded_groups(record, out))
        std::cerr << "corpus: ended " << ended << " process(es) that a killed runner left in "
                  << out << "\n";
    record_running_groups(record);
}

static int cmd_run(const options_t &opt, const manifest_t &m) {
    auto selected = select_programs(m, opt.programs, opt.variant);
    claim_output_folder(opt.out);
    const std::string results = (fs::path(opt.out) / mode_name(opt)).string();
    mark_results_stale(opt, results);
    auto asked = prefetch_provenance(opt, opt.tool, selected);
    auto rows = run_programs(opt, opt.tool, selected, results);
    asked.get();
    const std::string table = run_table(opt, rows);
    write_results(opt, rows, table, results, provenance(opt, opt.tool, rows));
    std::cout << table;
    std::cout << "(table, CSV and JSON in " << results << ")\n";
    std::cout.flush();
    if (!std::cout)
        throw runner_error("cannot write the table to standard output");
    bool failed = false;
    for (const auto &r : rows)
        failed = failed || !r.ok;
    return failed ? 1 : 0;
}

// The folder of the programs a tool runs: a preset's build, an instrumented build's under the
// sources, or those of --bin; --bin-for overrides the last two.
static std::string tool_bin(const options_t &opt, const tool_id_t &tool) {
    if (!tool.preset.empty())
        return opt.source_dir + "/build/" + tool.preset + "/bin";
    if (opt.tool_bins.count(tool.detector))
        return opt.tool_bins.at(tool.detector);
    const detector_t &d = *find_detector(tool.detector); // the command line took known ones
    if (!d.default_bin.empty())
        return opt.source_dir + "/" + d.default_bin;
    return opt.bin;
}

// "no programs of the tsan build: ..." with, for a preset's build, how to make it.
static runner_error no_build(const tool_id_t &tool, const std::string &what) {
    const std::string preset =
        tool.preset.empty() ? find_detector(tool.detector)->build_preset : tool.preset;
    return runner_error(what + (!preset.empty() ? " (cmake --preset " + preset +
                                                      " && cmake --build --preset " + preset + ")"
                                                : ""));
}

// The tools a score runs, each with and without schedule noise under --perturb.
static std::vector<tool_id_t> score_passes(const options_t &opt) {
    std::vector<std::string> specs = opt.tools;
    if (specs.empty())
        for (const auto &d : detectors())
            if (d.scored_by_default)
                specs.push_back(d.name);
    std::vector<tool_id_t> passes;
    for (const auto &spec : specs) {
        passes.push_back(tool_named(spec));
        if (opt.perturb) {
            passes.push_back(passes.back());
            passes.back().perturbed = true;
        }
    }
    return passes;
}

// Empties the scorecard's folder of what an earlier score left: its files, and the results of
// tools this one does not run (corpus merge takes every results folder it finds).
static void clear_score_folder(const std::string &dir, const std::vector<tool_id_t> &passes) {
    make_dirs(dir);
    mark_scorecard_stale(dir);
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        bool ours = false;
        for (const auto &tool : passes)
            ours = ours || name == tool_name(tool);
        if (entry.is_directory() && !ours)
            remove_all(entry.path().string());
    }
}

// One tool's runs and their score. Its results folder under `dir` is written in the background
// (`written`), while the next tool runs: the files of a valgrind pass are tens of megabytes.
static tool_score_t score_pass(const options_t &opt, const std::vector<const program_t *> &selected,
                               const std::string &dir, const tool_id_t &tool,
                               std::future<void> &written) {
    run_settings_t run = opt;
    run.bin = tool_bin(opt, tool);
    run.tool = find_detector(tool.detector)->runs_as;
    run.perturb = tool.perturbed;
    const std::string results = (fs::path(dir) / tool_name(tool)).string();
    mark_results_stale(run, results);
    auto asked = prefetch_provenance(run, run.tool, selected);
    auto rows = opt.until_detected ? run_until_detected(run, run.tool, selected, results)
                                   : run_programs(run, run.tool, selected, results);
    asked.get();
    if (std::all_of(rows.begin(), rows.end(), [](const row_t &r) { return r.missing; }))
        throw no_build(tool, "no program of the " + tool_spec(tool) + " build in " + run.bin);
    tool_score_t score = score_tool(tool, opt.until_detected ? opt.until_detected : opt.repeat,
                                    rows, applicable_ledger(run.ledger, run.bin));
    score.build = build_compiler(run.bin);
    score.until_detected = opt.until_detected > 0;
    auto record = provenance(run, run.tool, rows);
    written = std::async(std::launch::async,
                         [run, rows = std::move(rows), results, record = std::move(record)] {
                             write_results(run, rows, run_table(run, rows), results, record);
                         });
    return score;
}

static int cmd_score(const options_t &opt, const manifest_t &m) {
    auto selected = select_programs(m, opt.programs, opt.variant);
    const std::vector<tool_id_t> passes = score_passes(opt);
    // Every tool's programs are there before anything earlier is removed or marked stale: a
    // refusal changes nothing on disk.
    for (const auto &tool : passes)
        if (!fs::is_directory(tool_bin(opt, tool)))
            throw no_build(tool, "no programs of the " + tool_spec(tool) +
                                     " build: " + tool_bin(opt, tool) + " is no folder");
    claim_output_folder(opt.out);
    const std::string dir = (fs::path(opt.out) / "score").string();
    clear_score_folder(dir, passes);
    std::vector<tool_score_t> scores;
    std::vector<std::future<void>> written(passes.size());
    for (size_t i = 0; i < passes.size(); ++i)
        scores.push_back(score_pass(opt, selected, dir, passes[i], written[i]));
    for (auto &w : written)
        w.get();
    std::cout << write_scorecard(dir, scores) << "(scorecard as JSON, CSV and Markdown in " << dir
              << ")\n";
    std::cout.flush();
    if (!std::cout)
        throw runner_error("cannot write the scorecard to standard output");
    // A score over runs that failed, or over programs that did not run, is no success.
    const auto failures = score_failures(scores);
    for (const auto &f : failures)
        std::cerr << "corpus score: FAILED: " << f << "\n";
    return failures.empty() ? 0 : 1;
}

// corpus detectors: every detector known, built-in or given with --detector: its report format,
// the build whose programs it runs and its version (asked as the provenance asks it).
static int cmd_detectors(const options_t &opt) {
    std::vector<std::vector<std::string>> lines{{"detector", "format", "build", "version", "file"}};
    for (const auto &d : detectors()) {
        run_settings_t s = opt;
        if (!d.default_bin.empty())
            s.bin = opt.source_dir + "/" + d.default_bin;
        const bool built = d.default_bin.empty() || fs::is_directory(s.bin);
        std::string file = d.file;
        if (file.rfind(opt.source_dir + "/", 0) == 0)
            file = file.substr(opt.source_dir.size() + 1);
        lines.push_back({d.name, format_name(d.format),
                         d.build_preset.empty() ? "any" : d.build_preset,
                         built ? tool_version(d, s) : "(" + d.default_bin + " not built)", file});
    }
    std::cout << aligned_table(lines);
    std::cout.flush();
    if (!std::cout)
        throw runner_error("cannot write the detectors to standard output");
    return 0;
}

// corpus manifest --from-dir: a manifest for a folder of executables that carry their label in
// their file names ("-yes"/"-no"), printed on standard output.
static int cmd_manifest(const options_t &opt) {
    std::map<std::string, bool> suffixes; // suffix -> racy
    std::istringstream listed(opt.label_suffix);
    std::string item;
    while (std::getline(listed, item, ',')) {
        size_t eq = item.find('=');
        std::string label = eq == std::string::npos ? "" : item.substr(eq + 1);
        if (eq == 0 || (label != "race" && label != "none"))
            throw runner_error("--label-suffix takes SUFFIX=race or SUFFIX=none, not \"" + item +
                               "\"");
        suffixes[item.substr(0, eq)] = label == "race";
    }
    std::map<std::string, std::string> env;
    for (const auto &kv : opt.entry_env)
        env[kv.substr(0, kv.find('='))] = kv.substr(kv.find('=') + 1);
    std::error_code ec;
    std::vector<fs::path> files;
    for (const auto &entry : fs::directory_iterator(opt.from_dir, ec))
        if (entry.is_regular_file() && access(entry.path().c_str(), X_OK) == 0)
            files.push_back(entry.path());
    if (ec)
        throw runner_error("cannot list " + opt.from_dir + ": " + ec.message());
    std::sort(files.begin(), files.end());
    nlohmann::json m{{"programs", nlohmann::json::array()}};
    int skipped = 0;
    for (const auto &file : files) {
        const std::string name = file.filename().string(), stem = file.stem().string();
        std::optional<bool> racy;
        for (const auto &[suffix, race] : suffixes)
            for (const char sep : {'-', '_'})
                if (stem.size() > suffix.size() + 1 &&
                    stem.compare(stem.size() - suffix.size(), suffix.size(), suffix) == 0 &&
                    stem[stem.size() - suffix.size() - 1] == sep)
                    racy = race;
        if (!racy || !plain_program_name(name)) {
            std::cerr << "corpus: " << name
                      << ": no label suffix (or not a plain name), left out\n";
            ++skipped;
            continue;
        }
        nlohmann::json e{{"program", name},
                         {"executable", file.string()},
                         {"variant", *racy ? "racy" : "unserialized"},
                         {"check", {{"kind", "exit"}, {"status", 0}}},
                         {"race", nullptr}};
        if (*racy)
            e["race"] = {{"object", "unknown (labelled by its file name)"},
                         {"accesses", nlohmann::json::array()}};
        if (!env.empty())
            e["env"] = env;
        m["programs"].push_back(e);
    }
    std::cout << json_text(m, 2) << "\n";
    std::cout.flush();
    if (!std::cout)
        throw runner_error("cannot write the manifest to standard output");
    std::cerr << "corpus: " << m["programs"].size() << " program(s) listed, " << skipped
              << " left out\n";
    return 0;
}

static int run_main(int argc, char **argv) {
    options_t opt;
    std::string error;
    if (!parse_command_line(argc, argv, opt, error)) {
        std::cerr << "corpus: " << error << " (corpus --help lists the options)\n";
        return 2;
    }
    // The detectors' files first: they say which frames are a detector's runtime and how each
    // names a data race, which reading any report or the ledger takes from them.
    detectors();
    if (opt.help) {
        std::cout << usage_text();
        return 0;
    }
    if (opt.command == "manifest")
        return cmd_manifest(opt);
    if (opt.command == "detectors")
        return cmd_detectors(opt);
    manifest_t m;
    try {
        m = load_manifest(opt.manifest);
        // A faulty ledger is told before any run, not after the last.
        if (opt.command != "list")
            load_ledger(opt.ledger);
    } catch (const std::exception &e) {
        std::cerr << "corpus: " << e.what() << "\n";
        return 2;
    }
    if (opt.command == "list") {
        for (const auto &p : m.programs)
            std::cout << p.name << " " << variant_name(p.variant) << "\n";
        return 0;
    }
    if (opt.command == "score")
        return cmd_score(opt, m);
    if (opt.command == "merge") {
        claim_output_folder(opt.out);
        return merge_results(opt, m, opt.programs);
    }
    return cmd_run(opt, m);
}

int main(int argc, char **argv) {
    catch_interruptions();
    become_subreaper();
    try {
        return run_main(argc, argv);
    } catch (const std::exception &e) {
        // Nothing started for the runs may outlive the runner.
        stop_http_server();
        stop_xvfb();
        kill_strays();
        std::cerr << "corpus: " << e.what() << "\n";
        return 2;
    }
}
