// corpus: runs the programs of the corpus, natively or under a race or memory detector, checks
// every run against the program's contract and reports a table (also as CSV and JSON).
#include "files.h"
#include "manifest.h"
#include "options.h"
#include "report.h"
#include "run.h"
#include "runner.h"

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
