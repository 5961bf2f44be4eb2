// corpus: runs the programs of the corpus, natively or under a race or memory detector, checks
// every run against the program's contract and reports a table (also as CSV and JSON).
#include "checks.h"
#include "manifest.h"
#include "reports.h"
#include "runner.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

struct options_t {
    std::string tool; // "", "tsan", "helgrind", "drd" or "memcheck"
    std::string bin = CORPUS_PROGRAM_DIR;
    std::string out = CORPUS_RESULTS_DIR;
    std::string manifest = CORPUS_SOURCE_DIR "/corpus/manifest.json";
    std::string samples = CORPUS_SOURCE_DIR "/samples";
    std::string suppressions = CORPUS_SOURCE_DIR "/corpus/suppressions";
    int repeat = 1;
    double timeout = 0; // seconds per run; 0: the default of the tool
    bool suppress = false;
    std::string variant;
    std::vector<std::string> programs;
};

struct row_t {
    const program_t *p = nullptr;
    int runs = 0, passed = 0;
    bool missing = false;
    std::string markers, outputs;
    std::vector<std::string> problems;
    std::vector<report_t> reports;
    report_summary_t summary;
    double seconds = 0; // summed over the runs
    long peak_kib = 0;  // highest over the runs
    bool ok = false;
    std::string verdict;
};

static options_t opt;

static void usage() {
    std::cerr
        << "usage: corpus run [options] [PROGRAM...]\n"
           "       corpus list\n"
           "options:\n"
           "  --tool tsan|helgrind|drd|memcheck  run under a detector (tsan: programs of a\n"
           "                                     ThreadSanitizer build, see --bin)\n"
           "  --bin DIR        folder of the programs (default " CORPUS_PROGRAM_DIR ")\n"
           "  --repeat N       run each program N times and report k of N\n"
           "  --timeout S      time limit of one run in seconds (default 60; tsan 180;\n"
           "                   valgrind 600)\n"
           "  --suppress       apply the suppression files for known library noise\n"
           "  --variant V      only programs of variant V (serialized, unserialized,\n"
           "                   single-threaded)\n"
           "  --out DIR        where tables and run directories go (default " CORPUS_RESULTS_DIR
           ")\n"
           "  --samples DIR    folder of the input files (default samples/ of the sources)\n"
           "  --manifest FILE  the manifest (default corpus/manifest.json of the sources)\n";
}

static bool is_valgrind_tool(const std::string &t) {
    return t == "helgrind" || t == "drd" || t == "memcheck";
}

static double timeout_for() {
    if (opt.timeout > 0)
        return opt.timeout;
    if (opt.tool == "tsan")
        return 180;
    if (is_valgrind_tool(opt.tool))
        return 600;
    return 60;
}

static bool tsan_instrumented(const std::string &path) {
    return read_file(path).find("__tsan_init") != std::string::npos;
}

static std::string mode_name() {
    return (opt.tool.empty() ? std::string("native") : opt.tool) +
           (opt.suppress ? "-suppressed" : "");
}

// One run of one program; adds its outcome to `row`.
static void run_once(row_t &row, int index) {
    const program_t &p = *row.p;
    const std::string exe = opt.bin + "/" + p.name;
    fs::path dir = fs::path(opt.out) / mode_name() / "runs" / p.name / std::to_string(index);
    fs::remove_all(dir);
    fs::create_directories(dir);

    run_output_t output;
    std::vector<std::string> setup; // problems of the runner itself; they fail the run too
    for (const auto &name : p.inputs) {
        std::error_code ec;
        fs::copy_file(fs::path(opt.samples) / name, dir / name, ec);
        if (ec)
            setup.push_back("sample " + name + " not copied: " + ec.message());
        output.inputs[name] = read_file((dir / name).string());
    }
    if (!p.serve.empty())
        output.inputs[p.serve] = read_file(opt.samples + "/" + p.serve);

    run_request_t req;
    req.dir = dir.string();
    req.out_path = (dir / "stdout").string();
    req.err_path = (dir / "stderr").string();
    req.timeout_seconds = timeout_for();
    req.env = p.env;
    if (opt.tool == "tsan") {
        // Quoted, so that paths with spaces stay one value.
        std::string o = "log_path=\"" + (dir / "tsan").string() + "\" exitcode=0 halt_on_error=0";
        if (opt.suppress)
            o += " suppressions=\"" + opt.suppressions + "/tsan.supp\"";
        req.env["TSAN_OPTIONS"] = o;
    } else if (is_valgrind_tool(opt.tool)) {
        req.argv = {"valgrind",
                    "--tool=" + opt.tool,
                    "--xml=yes",
                    "--xml-file=" + (dir / "valgrind.xml").string(),
                    "--log-file=" + (dir / "valgrind.log").string(),
                    "--child-silent-after-fork=yes"};
        if (opt.tool == "memcheck")
            req.argv.insert(req.argv.end(), {"--leak-check=full", "--show-leak-kinds=definite"});
        if (opt.suppress)
            req.argv.push_back("--suppressions=" + opt.suppressions + "/valgrind.supp");
    }
    req.argv.push_back(exe);

    std::string url, display;
    if (!p.serve.empty()) {
        int port = start_http_server(output.inputs[p.serve]);
        if (port < 0)
            setup.push_back("no loopback HTTP server");
        url = "http://127.0.0.1:" + std::to_string(port) + "/" + p.serve;
        display = start_xvfb((fs::path(opt.out) / mode_name() / "xvfb.log").string());
        if (display.empty())
            setup.push_back("Xvfb did not start");
        req.env["DISPLAY"] = display;
        // Stop once the file is whole; first let the window show the full bar and take its
        // picture.
        const std::string served = output.inputs[p.serve];
        const std::string file = (dir / "test.curl").string();
        req.stop_when = [file, served]() {
            std::error_code ec;
            auto size = fs::file_size(file, ec);
            return !ec && size == served.size() && read_file(file) == served;
        };
        const std::string shot = (dir / "shot.png").string();
        const bool slow = !opt.tool.empty();
        req.before_stop = [shot, display, slow](int pid) {
            sleep(slow ? 3 : 1);
            save_window_shot(pid, display, shot);
        };
    }
    for (const auto &a : p.args)
        req.argv.push_back(a == "{url}" ? url : a);

    process_result_t pr = run_process(req);
    if (!p.serve.empty())
        stop_http_server();

    output.out = read_file(req.out_path);
    output.err = read_file(req.err_path);
    output.exited = pr.exited;
    output.status = pr.status;
    output.signal = pr.signal;
    output.timed_out = pr.timed_out;
    output.stopped = pr.stopped;
    for (const auto &name : p.outputs)
        if (fs::exists(dir / name))
            output.files[name] = read_file((dir / name).string());

    check_result_t c = check_run(p, output);
    if (!setup.empty()) {
        c.ok = false;
        c.problems.insert(c.problems.begin(), setup.begin(), setup.end());
    }
    // The program as the detectors name it (valgrind resolves links).
    std::error_code ec;
    std::string program = fs::weakly_canonical(exe, ec).string();
    if (program.empty())
        program = exe;
    if (opt.tool == "tsan") {
        for (const auto &entry : fs::directory_iterator(dir))
            if (entry.path().filename().string().rfind("tsan.", 0) == 0)
                for (auto &r :
                     parse_tsan_log(read_file(entry.path().string()), CORPUS_SOURCE_DIR, program))
                    row.reports.push_back(r);
    } else if (is_valgrind_tool(opt.tool)) {
        const std::string xml = read_file((dir / "valgrind.xml").string());
        // Without its closing tag the file may miss reports: that is no clean run. Only a run
        // the runner ended on purpose may leave it unfinished.
        if (!pr.stopped && !valgrind_xml_finished(xml)) {
            c.ok = false;
            c.problems.push_back("valgrind.xml missing or unfinished");
        }
        for (auto &r : parse_valgrind_xml(xml, CORPUS_SOURCE_DIR, program))
            row.reports.push_back(r);
    }

    ++row.runs;
    row.passed += c.ok;
    if (row.markers.empty() || !c.ok) {
        row.markers = c.markers;
        row.outputs = c.outputs;
    }
    for (const auto &problem : c.problems)
        row.problems.push_back("run " + std::to_string(index) + ": " + problem);
    row.seconds += pr.seconds;
    row.peak_kib = std::max(row.peak_kib, pr.peak_kib);
}

static void run_program_rows(row_t &row, size_t position, size_t count) {
    const program_t &p = *row.p;
    const std::string exe = opt.bin + "/" + p.name;
    std::string tag = "[" + std::to_string(position) + "/" + std::to_string(count) + "] " + p.name;
    if (access(exe.c_str(), X_OK) != 0) {
        row.missing = true;
        row.verdict = "FAIL: not built";
        std::cerr << tag << ": not built (" << exe << ")\n";
        return;
    }
    if (opt.tool == "tsan" && !tsan_instrumented(exe)) {
        row.missing = true;
        row.verdict = "FAIL: not a ThreadSanitizer build";
        std::cerr << tag << ": " << exe
                  << " is not a ThreadSanitizer build (cmake --preset tsan && cmake --build "
                     "--preset tsan, then --bin build/tsan/bin)\n";
        return;
    }
    // Runs of an earlier invocation would mix with these.
    fs::remove_all(fs::path(opt.out) / mode_name() / "runs" / p.name);
    for (int k = 1; k <= opt.repeat; ++k) {
        std::cerr << tag << ": run " << k << " of " << opt.repeat
                  << (opt.tool.empty() ? "" : " under " + opt.tool) << "..." << std::endl;
        run_once(row, k);
    }
    row.summary = summarize_reports(row.reports);
    bool contract = row.passed == row.runs;
    row.ok = contract && row.summary.own == 0;
    if (!contract)
        row.verdict = "FAIL: contract";
    if (row.summary.own > 0)
        row.verdict =
            row.verdict.empty() ? "FAIL: own-code reports" : row.verdict + ", own-code reports";
    if (row.ok)
        row.verdict = row.summary.library > 0 ? "ok (library reports only)" : "ok";
    std::cerr << tag << ": " << row.verdict << "\n";
}

static std::string fixed(double v, int digits) {
    char buf[64];
    snprintf(buf, sizeof buf, "%.*f", digits, v);
    return buf;
}

static std::vector<std::string> header() {
    std::vector<std::string> h{"program", "variant", "runs ok", "markers", "outputs"};
    if (!opt.tool.empty())
        h.insert(h.end(), {"reports", "own", "library"});
    h.insert(h.end(), {"time s", "peak MiB", "verdict"});
    return h;
}

static std::vector<std::string> cells(const row_t &r) {
    std::vector<std::string> c{r.p->name, r.p->variant,
                               r.missing ? "-"
                                         : std::to_string(r.passed) + "/" + std::to_string(r.runs),
                               r.missing ? "-" : r.markers, r.missing ? "-" : r.outputs};
    if (!opt.tool.empty())
        c.insert(c.end(), {std::to_string(r.summary.distinct), std::to_string(r.summary.own),
                           std::to_string(r.summary.library)});
    c.push_back(r.runs ? fixed(r.seconds / r.runs, 3) : "-");
    c.push_back(r.runs ? fixed(r.peak_kib / 1024.0, 1) : "-");
    c.push_back(r.verdict);
    return c;
}

static std::string table_text(const std::vector<row_t> &rows, const std::string &closing) {
    std::vector<std::vector<std::string>> all{header()};
    for (const auto &r : rows)
        all.push_back(cells(r));
    std::vector<size_t> width(all[0].size(), 0);
    for (const auto &line : all)
        for (size_t i = 0; i < line.size(); ++i)
            width[i] = std::max(width[i], line[i].size());
    std::ostringstream s;
    for (size_t n = 0; n < all.size(); ++n) {
        for (size_t i = 0; i < all[n].size(); ++i) {
            s << all[n][i];
            if (i + 1 < all[n].size())
                s << std::string(width[i] - all[n][i].size() + 2, ' ');
        }
        s << "\n";
        if (n == 0) {
            size_t total = 0;
            for (size_t w : width)
                total += w + 2;
            s << std::string(total - 2, '-') << "\n";
        }
    }
    s << closing;
    return s.str();
}

static std::string csv_field(const std::string &v) {
    if (v.find_first_of(",\"\n") == std::string::npos)
        return v;
    std::string q = "\"";
    for (char ch : v)
        q += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return q + "\"";
}

static void write_outputs(const std::vector<row_t> &rows, const std::string &table) {
    fs::path base = fs::path(opt.out) / mode_name();
    fs::create_directories(base);
    std::ofstream(base / "table.txt") << table;

    std::ofstream csv(base / "results.csv");
    auto h = header();
    for (size_t i = 0; i < h.size(); ++i)
        csv << (i ? "," : "") << csv_field(h[i]);
    csv << "\n";
    for (const auto &r : rows) {
        auto c = cells(r);
        for (size_t i = 0; i < c.size(); ++i)
            csv << (i ? "," : "") << csv_field(c[i]);
        csv << "\n";
    }

    nlohmann::json j;
    j["tool"] = opt.tool.empty() ? "native" : opt.tool;
    j["suppressed"] = opt.suppress;
    j["repeat"] = opt.repeat;
    j["bin"] = opt.bin;
    for (const auto &r : rows) {
        nlohmann::json e{
            {"program", r.p->name},   {"variant", r.p->variant},
            {"built", !r.missing},    {"runs", r.runs},
            {"passed", r.passed},     {"markers", r.markers},
            {"outputs", r.outputs},   {"seconds_mean", r.runs ? r.seconds / r.runs : 0.0},
            {"peak_kib", r.peak_kib}, {"ok", r.ok},
            {"verdict", r.verdict},   {"expected", r.p->verdict},
            {"problems", r.problems}};
        if (!opt.tool.empty()) {
            e["reports"] = {{"distinct", r.summary.distinct},
                            {"own", r.summary.own},
                            {"library", r.summary.library}};
            for (const auto &rep : r.summary.reports)
                e["report_list"].push_back(
                    {{"kind", rep.kind}, {"own", rep.own}, {"where", rep.where}});
        }
        j["programs"].push_back(e);
    }
    std::ofstream(base / "results.json") << j.dump(2) << "\n";
}

static int cmd_run(const manifest_t &m) {
    std::vector<const program_t *> selected;
    std::set<std::string> wanted(opt.programs.begin(), opt.programs.end());
    for (const auto &name : wanted)
        if (!find_program(m, name)) {
            std::cerr << "corpus: no program " << name << " in the manifest\n";
            return 2;
        }
    for (const auto &p : m.programs)
        if ((wanted.empty() || wanted.count(p.name)) &&
            (opt.variant.empty() || p.variant == opt.variant))
            selected.push_back(&p);
    if (selected.empty()) {
        std::cerr << "corpus: no program selected\n";
        return 2;
    }
    if (is_valgrind_tool(opt.tool) && find_in_path("valgrind").empty()) {
        std::cerr << "corpus: valgrind not found\n";
        return 2;
    }
    std::vector<row_t> rows(selected.size());
    for (size_t i = 0; i < selected.size(); ++i) {
        rows[i].p = selected[i];
        run_program_rows(rows[i], i + 1, selected.size());
    }
    stop_xvfb();

    int holding = 0, own = 0, failed = 0;
    for (const auto &r : rows) {
        holding += r.ok;
        own += r.summary.own;
        failed += !r.ok;
    }
    // The expected verdicts of the selected programs, quoted when they are all the same.
    std::set<std::string> expected;
    for (const auto &r : rows)
        expected.insert(r.p->verdict);
    std::ostringstream closing;
    closing << "\nVerdict against the manifest";
    if (expected.size() == 1)
        closing << " (\"" << *expected.begin() << "\")";
    else
        closing << " (verdicts per program, in results.json)";
    closing << ": ";
    closing << holding << " of " << rows.size() << " programs hold" << (failed ? "; FAILED" : "");
    if (!opt.tool.empty())
        closing << " (" << own << " distinct report(s) in our own code)";
    closing << "\n";
    const size_t shown_problems = 8; // the rest is in the JSON file
    for (const auto &r : rows) {
        for (size_t i = 0; i < r.problems.size() && i < shown_problems; ++i)
            closing << r.p->name << ": " << r.problems[i] << "\n";
        if (r.problems.size() > shown_problems)
            closing << r.p->name << ": ... and " << r.problems.size() - shown_problems
                    << " more problem(s) in results.json\n";
        for (const auto &rep : r.summary.reports)
            if (rep.own)
                closing << r.p->name << ": " << opt.tool << " report in own code: " << rep.kind
                        << " at " << rep.where << "\n";
    }
    std::string table = table_text(rows, closing.str());
    std::cout << table;
    write_outputs(rows, table);
    std::cout << "(table, CSV and JSON in " << (fs::path(opt.out) / mode_name()).string() << ")\n";
    return failed == 0 ? 0 : 1;
}

static int run_main(int argc, char **argv) {
    if (argc < 2) {
        usage();
        return 2;
    }
    std::string command = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << "corpus: " << a << " needs a value\n";
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--tool") {
            opt.tool = value();
            if (opt.tool != "tsan" && !is_valgrind_tool(opt.tool)) {
                std::cerr << "corpus: unknown tool " << opt.tool << "\n";
                return 2;
            }
        } else if (a == "--bin") {
            opt.bin = fs::absolute(value()).string();
        } else if (a == "--repeat") {
            opt.repeat = atoi(value().c_str());
            if (opt.repeat < 1) {
                std::cerr << "corpus: --repeat needs a positive count\n";
                return 2;
            }
        } else if (a == "--timeout") {
            opt.timeout = atof(value().c_str());
            if (opt.timeout <= 0) {
                std::cerr << "corpus: --timeout needs a positive number of seconds\n";
                return 2;
            }
        } else if (a == "--suppress") {
            opt.suppress = true;
        } else if (a == "--variant") {
            opt.variant = value();
        } else if (a == "--out") {
            opt.out = fs::absolute(value()).string();
        } else if (a == "--samples") {
            opt.samples = fs::absolute(value()).string();
        } else if (a == "--manifest") {
            opt.manifest = value();
        } else if (a == "-h" || a == "--help") {
            usage();
            return 0;
        } else if (!a.empty() && a[0] == '-') {
            std::cerr << "corpus: unknown option " << a << "\n";
            usage();
            return 2;
        } else {
            opt.programs.push_back(a);
        }
    }
    manifest_t m;
    try {
        m = load_manifest(opt.manifest);
    } catch (const std::exception &e) {
        std::cerr << "corpus: " << e.what() << "\n";
        return 2;
    }
    if (command == "list") {
        for (const auto &p : m.programs)
            std::cout << p.name << " " << p.variant << "\n";
        return 0;
    }
    if (command != "run") {
        usage();
        return 2;
    }
    return cmd_run(m);
}

int main(int argc, char **argv) {
    try {
        return run_main(argc, argv);
    } catch (const std::exception &e) {
        // Nothing started for the runs may outlive the runner.
        stop_http_server();
        stop_xvfb();
        std::cerr << "corpus: " << e.what() << "\n";
        return 2;
    }
}
