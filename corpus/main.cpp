// corpus: runs the programs of the corpus, natively or under a race or memory detector, checks
// every run against the program's contract and reports a table (also as CSV and JSON).
#include "files.h"
#include "manifest.h"
#include "options.h"
#include "report.h"
#include "run.h"
#include "runner.h"
#include "score.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
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
    // Deliberately kept open until the process ends.
}

static int cmd_run(const options_t &opt, const manifest_t &m) {
    auto selected = select_programs(opt, m);
    claim_output_folder(opt.out);
    const std::string results = (fs::path(opt.out) / mode_name(opt)).string();
    mark_results_stale(opt, results);
    auto rows = run_programs(opt, opt.tool, selected, results);
    const std::string table = run_table(opt, rows);
    write_results(opt, rows, table, results);
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

// The folder of the programs a tool runs: the ThreadSanitizer builds have presets of their own;
// the valgrind tools run the programs of --bin.
static std::string tool_bin(const options_t &opt, const std::string &tool) {
    if (tool == "tsan")
        return opt.source_dir + "/build/tsan/bin";
    if (tool == "tsan-deep")
        return opt.source_dir + "/build/tsan-deep/bin";
    return opt.bin;
}

static int cmd_score(const options_t &given, const manifest_t &m) {
    options_t opt = given;
    auto selected = select_programs(opt, m);
    std::vector<std::string> tools = opt.tools;
    if (tools.empty())
        tools = {"helgrind", "drd", "tsan"};
    claim_output_folder(opt.out);
    const std::string dir = (fs::path(opt.out) / "score").string();
    make_dirs(dir);
    for (const char *name : {"score.json", "score.csv", "score.md", "score.txt"})
        remove_all((fs::path(dir) / name).string());
    std::vector<tool_score_t> scores;
    for (const auto &tool : tools) {
        options_t run = opt;
        run.bin = tool_bin(opt, tool);
        run.tool = tool == "tsan-deep" ? "tsan" : tool;
        const std::string results = (fs::path(dir) / tool).string();
        mark_results_stale(run, results);
        auto rows = run_programs(run, run.tool, selected, results);
        bool any = false;
        for (const auto &r : rows)
            any = any || !r.missing;
        if (!any)
            throw runner_error("no program of the " + tool + " build in " + run.bin +
                               (tool.rfind("tsan", 0) == 0 ? " (cmake --preset " + tool +
                                                                 " && cmake --build --preset " +
                                                                 tool + ")"
                                                           : ""));
        write_results(run, rows, run_table(run, rows), results);
        scores.push_back(score_tool(tool, opt.repeat, rows));
    }
    const std::string table = score_table(scores);
    write_file((fs::path(dir) / "score.txt").string(), table);
    write_file((fs::path(dir) / "score.csv").string(), score_csv(scores));
    write_file((fs::path(dir) / "score.md").string(), score_markdown(scores));
    write_file((fs::path(dir) / "score.json").string(), score_json(scores).dump(2) + "\n");
    std::cout << table << "(scorecard as JSON, CSV and Markdown in " << dir << ")\n";
    std::cout.flush();
    if (!std::cout)
        throw runner_error("cannot write the scorecard to standard output");
    return 0;
}

static int run_main(int argc, char **argv) {
    options_t opt;
    std::string error;
    if (!parse_command_line(argc, argv, opt, error)) {
        std::cerr << "corpus: " << error << " (corpus --help lists the options)\n";
        return 2;
    }
    if (opt.help) {
        std::cout << usage_text();
        return 0;
    }
    manifest_t m;
    try {
        m = load_manifest(opt.manifest);
    } catch (const std::exception &e) {
        std::cerr << "corpus: " << e.what() << "\n";
        return 2;
    }
    if (opt.command == "list") {
        for (const auto &p : m.programs)
            std::cout << p.name << " " << p.variant << "\n";
        return 0;
    }
    if (opt.command == "score")
        return cmd_score(opt, m);
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
