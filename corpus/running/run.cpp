#include "run.h"

#include "detectors.h"
#include "files.h"
#include "judge.h"
#include "services.h"
#include "timeline.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <set>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

std::map<std::string, std::string> build_environment(const std::string &bin) {
    std::map<std::string, std::string> env;
    const std::string path = bin + "/run-env";
    if (access(path.c_str(), F_OK) != 0)
        return env;
    const std::string text = read_file(path);
    for (const auto &line : text_lines(text)) {
        if (line.empty() || line[0] == '#')
            continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos || eq == 0)
            throw runner_error(path + ": not a NAME=VALUE line: " + std::string(line));
        env[std::string(line.substr(0, eq))] = std::string(line.substr(eq + 1));
    }
    return env;
}

std::string program_executable(const run_settings_t &opt, const program_t &p) {
    if (p.executable.empty())
        return opt.bin + "/" + p.name;
    if (p.executable[0] == '/')
        return p.executable;
    const std::string beside = p.base_dir + "/" + p.executable;
    if (p.executable.find('/') != std::string::npos || access(beside.c_str(), F_OK) == 0)
        return beside;
    return opt.bin + "/" + p.executable;
}

static void throw_if_interrupted() {
    if (int sig = interrupted_by())
        throw runner_error(std::string("interrupted by ") + sigabbrev_np(sig) +
                           "; its children were stopped");
}

// Copies the inputs of `p` into the run directory `dir` and returns them, with the reference
// output of an outside program and the sample it serves, as the check will see them.
static std::map<std::string, std::string> stage_run(const run_settings_t &opt, const program_t &p,
                                                    const fs::path &dir) {
    remove_all(dir.string());
    make_dirs(dir.string());
    std::map<std::string, std::string> inputs;
    // The corpus's inputs are its samples; an outside program's lie beside its manifest.
    const fs::path from = p.executable.empty() ? fs::path(opt.samples) : fs::path(p.base_dir);
    for (const auto &name : p.inputs) {
        std::error_code ec;
        const fs::path target = dir / fs::path(name).filename();
        fs::copy_file(from / name, target, ec);
        if (ec)
            throw runner_error("cannot copy the input " + (from / name).string() + " to " +
                               dir.string() + ": " + ec.message());
        inputs[name] = read_file(target.string());
    }
    if (!p.check.stdout_file.empty()) {
        // The reference output of an outside program, beside its manifest.
        const std::string &name = p.check.stdout_file;
        const std::string path = (from / name).string();
        if (access(path.c_str(), R_OK) != 0)
            throw runner_error("cannot read the expected output " + path);
        inputs[name] = read_file(path);
    }
    if (!p.serve.empty()) {
        const std::string served = opt.samples + "/" + p.serve;
        if (access(served.c_str(), R_OK) != 0)
            throw runner_error("cannot read the sample " + served);
        inputs[p.serve] = read_file(served);
    }
    return inputs;
}

// The request that runs `p` in `dir` under `detector` (none: natively): the build's and the
// program's environment, the detector's wrapping, the program's arguments with the URL of its
// served sample.
static run_request_t run_request(const run_settings_t &opt, const detector_t *detector,
                                 const program_t &p, const fs::path &dir, const std::string &url,
                                 int index) {
    run_request_t req;
    req.dir = dir.string();
    req.out_path = (dir / "stdout").string();
    req.err_path = (dir / "stderr").string();
    req.timeout_seconds = run_timeout(opt, detector ? detector->name : "");
    // The build's variables, then the program's own; a detector's options lists (TSAN_OPTIONS)
    // add up (the runner's own come first), so that none is silently dropped.
    req.env = build_environment(opt.bin);
    for (const auto &[k, v] : p.env)
        req.env[k] = options_variable(k) && req.env.count(k) ? req.env[k] + " " + v : v;
    if (detector)
        wrap_run(*detector, opt, req.dir, req);
    // Schedule noise, drawn from the seed and the run's number. A detector that runs the
    // program inside itself (valgrind) schedules its threads itself and has its own options.
    if (opt.perturb && req.argv.empty()) {
        const std::string preload = req.env.count("LD_PRELOAD") ? req.env["LD_PRELOAD"] : "";
        req.env["LD_PRELOAD"] = CORPUS_PERTURB_LIB + (preload.empty() ? "" : ":" + preload);
        req.env["CORPUS_PERTURB_SEED"] =
            std::to_string(opt.perturb_seed * 100003ULL + static_cast<unsigned>(index));
        // AddressSanitizer wants its runtime first among the libraries; the noise does not
        // touch memory that it watches.
        const char *inherited = getenv("ASAN_OPTIONS");
        std::string asan = req.env.count("ASAN_OPTIONS") ? req.env["ASAN_OPTIONS"]
                           : inherited                   ? inherited
                                                         : "";
        req.env["ASAN_OPTIONS"] = (asan.empty() ? "" : asan + ":") + "verify_asan_link_order=0";
    }
    req.argv.push_back(program_executable(opt, p));
    for (const auto &a : p.args)
        req.argv.push_back(a == "{url}" ? url : a);
    if (opt.trace)
        req.env["CORPUS_TRACE"] = (dir / "trace.txt").string();
    return req;
}

// Runs the request; a program that serves a sample gets the runner's HTTP server and Xvfb and
// is ended once its output file holds the sample, after a picture of its window.
static process_result_t launch(const run_settings_t &opt, const detector_t *detector,
                               const program_t &p, const fs::path &dir, const fs::path &results,
                               const std::map<std::string, std::string> &inputs, int index) {
    if (p.serve.empty()) {
        process_result_t pr = run_process(run_request(opt, detector, p, dir, "", index));
        kill_strays();
        return pr;
    }
    const std::string served = inputs.at(p.serve);
    int port = start_http_server(served);
    if (port < 0)
        throw runner_error("cannot start the loopback HTTP server");
    run_request_t req;
    try {
        req = run_request(opt, detector, p, dir,
                          "http://127.0.0.1:" + std::to_string(port) + "/" + p.serve, index);
    } catch (...) {
        stop_http_server();
        throw;
    }
    const std::string display = start_xvfb((results / "xvfb.log").string());
    if (display.empty()) {
        stop_http_server();
        throw runner_error("Xvfb did not start (see " + (results / "xvfb.log").string() + ")");
    }
    req.env["DISPLAY"] = display;
    const std::string file = (dir / p.stop_when_whole).string();
    req.stop_when = [file, served]() {
        std::error_code ec;
        auto size = fs::file_size(file, ec);
        return !ec && size == served.size() && read_file(file) == served;
    };
    // The window's picture, as soon as it shows the finished transfer (a full bar), or as it
    // is at the run's time limit; the contract check then says how full the bar was.
    const std::string shot = p.window_shot.empty() ? "" : (dir / p.window_shot).string();
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const double deadline = double(now.tv_sec) + double(now.tv_nsec) / 1e9 + req.timeout_seconds;
    req.before_stop = [shot, display, deadline](int pid) {
        bool full = false;
        if (!shot.empty())
            save_window_shot(pid, display, shot, deadline, full);
    };
    process_result_t pr;
    try {
        pr = run_process(req);
    } catch (...) {
        stop_http_server();
        throw;
    }
    stop_http_server();
    kill_strays();
    return pr;
}

// What the run left behind: its output, how it ended, its files, the detector's reports.
static run_output_t collect(const detector_t *detector, const program_t &p, const fs::path &dir,
                            const process_result_t &pr, std::map<std::string, std::string> inputs) {
    run_output_t output;
    output.inputs = std::move(inputs);
    read_output((dir / "stdout").string(), output);
    output.err = read_file((dir / "stderr").string());
    if (detector)
        output.err = clean_stderr(*detector, output.err);
    output.exited = pr.exited;
    output.status = pr.status;
    output.signal = pr.signal;
    output.timed_out = pr.timed_out;
    output.stopped = pr.stopped;
    for (const auto &name : p.outputs)
        if (fs::exists(dir / name))
            output.files[name] = read_file((dir / name).string());
    return output;
}

// The trace of a run judged: a serialized program must never have two threads holding `lock`
// at once. Adds the run's figures (and the timeline of the best run) to `row`.
static void judge_trace(const program_t &p, const std::string &path, check_result_t &c,
                        row_t &row) {
    trace_t trace = parse_trace(read_file(path));
    trace_figures_t f = trace_figures(trace);
    if (trace.events == 0) {
        c.ok = false;
        c.problems.push_back("no trace recorded");
    } else if (trace.errors > 0) {
        c.ok = false;
        c.problems.push_back("trace: " + std::to_string(trace.errors) + " bad record(s), " +
                             trace.first_error);
    }
    if (p.variant == variant_t::serialized && f.lock_max_held.value_or(0) > 1) {
        c.ok = false;
        // First: it explains whatever else went wrong in the run.
        c.problems.insert(c.problems.begin(), "lock sections overlap (" +
                                                  std::to_string(*f.lock_max_held) +
                                                  " threads held lock at once)");
    }
    if (row.traces.empty() || f.inside > row.traces[size_t(row.best_trace)].inside) {
        row.best_trace = int(row.traces.size());
        row.timeline = trace_svg(trace, p.name);
    }
    row.traces.push_back(f);
}

// Judges one run: its contract, the detector's reports and its trace; adds it to `row`.
static void judge(const run_settings_t &opt, const detector_t *detector, row_t &row, int index,
                  const fs::path &dir, const process_result_t &pr, const run_output_t &output) {
    const program_t &p = *row.p;
    check_result_t c = check_run(p, output);
    if (detector) {
        // The program as the detectors name it (valgrind resolves links).
        const std::string exe = program_executable(opt, p);
        std::error_code ec;
        std::string program = fs::weakly_canonical(exe, ec).string();
        if (program.empty())
            program = exe;
        const own_code_t own{opt.source_dir, program,
                             (fs::path(opt.bin).parent_path() / "lib").string()};
        size_t before = row.reports.size();
        collect_reports(*detector, dir.string(), own, pr.stopped, c, row.reports);
        for (size_t i = before; i < row.reports.size(); ++i)
            row.reports[i].run = index;
        if (row.reports.size() > before)
            row.runs_with_reports.push_back(index);
    }
    if (opt.trace)
        judge_trace(p, (dir / "trace.txt").string(), c, row);
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

// One run of one program under `detector` (none: natively); adds its outcome to `row`.
static void run_once(const run_settings_t &opt, const detector_t *detector, row_t &row, int index,
                     const fs::path &results) {
    const program_t &p = *row.p;
    const auto begun = std::chrono::steady_clock::now();
    const fs::path dir = results / "runs" / p.name / std::to_string(index);
    auto inputs = stage_run(opt, p, dir);
    process_result_t pr = launch(opt, detector, p, dir, results, inputs, index);
    throw_if_interrupted();
    run_output_t output = collect(detector, p, dir, pr, std::move(inputs));
    // A run the loader would not give its schedule noise got none: that is the runner's
    // failure, not the program's, and no run without the noise counts as one with it.
    const std::string refused = "from LD_PRELOAD cannot be preloaded";
    if (opt.perturb && output.err.find(refused) != std::string::npos &&
        output.err.find(fs::path(CORPUS_PERTURB_LIB).filename().string()) != std::string::npos) {
        const size_t at = output.err.find(refused);
        const size_t begin = output.err.rfind('\n', at);
        const size_t end = output.err.find('\n', at);
        throw runner_error(
            "the schedule-noise library could not be preloaded into " + p.name + ": " +
            output.err.substr(begin == std::string::npos ? 0 : begin + 1,
                              end == std::string::npos ? std::string::npos : end - begin - 1));
    }
    judge(opt, detector, row, index, dir, pr, output);
    row.wall_seconds +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
}

void add_runs(row_t &into, const row_t &from) {
    into.runs += from.runs;
    into.passed += from.passed;
    // The table shows the markers and outputs of the first run, or of a failed one.
    if (into.markers.empty() || (from.passed < from.runs && into.passed == into.runs - from.runs)) {
        into.markers = from.markers;
        into.outputs = from.outputs;
    }
    into.problems.insert(into.problems.end(), from.problems.begin(), from.problems.end());
    into.reports.insert(into.reports.end(), from.reports.begin(), from.reports.end());
    into.runs_with_reports.insert(into.runs_with_reports.end(), from.runs_with_reports.begin(),
                                  from.runs_with_reports.end());
    into.seconds += from.seconds;
    into.wall_seconds += from.wall_seconds;
    if (!into.runs_to_detection)
        into.runs_to_detection = from.runs_to_detection;
    into.peak_kib = std::max(into.peak_kib, from.peak_kib);
    for (size_t i = 0; i < from.traces.size(); ++i) {
        if (into.traces.empty() ||
            (int(i) == from.best_trace &&
             from.traces[i].inside > into.traces[size_t(into.best_trace)].inside)) {
            into.best_trace = int(into.traces.size());
            into.timeline = from.timeline;
        }
        into.traces.push_back(from.traces[i]);
    }
}

void finish_row(row_t &row, const std::string &tool, const ledger_t &ledger) {
    const program_t &p = *row.p;
    if (row.missing)
        return;
    row.summary = summarize_reports(row.reports);
    // On a racy program a report on its labelled race is the expected outcome; own-code
    // reports elsewhere still fail the row. A label without an access pair (taken from a
    // file name) is found by any report. A library report is judged by the ledger; on a
    // library-rule twin, one the ledger does not know is the fallout of its hand-over.
    row.race_found = false;
    row.unexpected_own = 0;
    row.construct_alarms = 0;
    const bool construct_twin = !p.race && p.axis != axis_t::built_in;
    row.unjudged = 0;
    label_match_t best = label_match_t::none;
    for (auto &r : row.summary.reports) {
        label_match_t m =
            p.race && p.race->accesses.empty()
                ? (report_shows_label(r, *p.race) ? label_match_t::by_line : label_match_t::none)
            : p.race ? match_label(r, *p.race)
                     : label_match_t::none;
        // A one-stack report (drd's) on one side of the label shows the race as far as such a
        // report can: it is no report beyond the label.
        const bool side = p.race && m == label_match_t::none && report_shows_label_side(r, *p.race);
        best = std::max(best, m);
        row.race_found = row.race_found || m != label_match_t::none || side;
        r.judgement = judgement_t::none;
        r.finding.clear();
        if (r.own && m == label_match_t::none && !side && on_handed_object(r, p)) {
            // Our callback on the library's buffers of the handed object: the rule break again.
            r.judgement = judgement_t::labelled_rule_break;
            continue;
        }
        (construct_twin ? row.construct_alarms : row.unexpected_own) +=
            r.own && m == label_match_t::none && !side;
        if (r.own)
            continue;
        judge_library_report(r, p, ledger, m != label_match_t::none || side);
        row.unjudged += unsettled(r.judgement);
        row.construct_alarms += r.judgement == judgement_t::construct_alarm;
    }
    bool contract = row.passed == row.runs;
    row.ok = contract && row.unexpected_own == 0;
    row.verdict.clear();
    if (!contract)
        row.verdict = "FAIL: contract";
    if (row.unexpected_own > 0)
        row.verdict =
            row.verdict.empty() ? "FAIL: own-code reports" : row.verdict + ", own-code reports";
    if (row.ok && p.race && !tool.empty())
        // A match by function says the frames carried no lines (a build without -g).
        row.verdict = !row.race_found                      ? "ok (labelled race missed)"
                      : best == label_match_t::by_function ? "ok (labelled race found by function)"
                                                           : "ok (labelled race found)";
    else if (row.ok && row.construct_alarms > 0)
        row.verdict = "ok (false alarms on its construct)";
    else if (row.ok)
        row.verdict = row.summary.library > 0 ? "ok (library reports only)" : "ok";
}

// Whether the programs of an instrumented build carry its instrumentation.
static bool instrumented(const std::string &path, const detector_t &d) {
    return read_file(path).find(d.build_symbol) != std::string::npos;
}

// Whether a program can run under `detector`; sets the row's verdict and says why when not.
static bool runnable(const run_settings_t &opt, const detector_t *detector, row_t &row,
                     const std::string &tag) {
    const std::string exe = program_executable(opt, *row.p);
    if (access(exe.c_str(), X_OK) != 0) {
        row.missing = true;
        row.verdict = "FAIL: not built";
        std::cerr << tag << ": not built (" << exe << ")\n";
        return false;
    }
    if (detector && !detector->build_symbol.empty() && !instrumented(exe, *detector)) {
        row.missing = true;
        const std::string build = detector->build_name, preset = detector->build_preset;
        row.verdict = "FAIL: not a " + build + " build";
        std::cerr << tag << ": " << exe << " is not a " << build << " build (cmake --preset "
                  << preset << " && cmake --build --preset " << preset << ", then --bin "
                  << detector->default_bin << ")\n";
        return false;
    }
    return true;
}

bool in_shard(const shard_t &shard, size_t item) {
    return int(item % size_t(shard.count)) == shard.index - 1;
}

// One run to make: the row it belongs to, its repeat number and, once made, its outcome.
struct work_t {
    size_t row;
    int repeat;
    row_t result;
};

// Makes the runs of `work` with up to opt.jobs threads, in order but for one rule: a program
// that serves a file to a window (the one Xvfb and HTTP server of the runner) runs alone, and
// while one does, the next run that needs no window is taken instead of waiting for it. The
// first runner error stops the others from taking more work and is thrown once all have ended.
static void make_runs(const run_settings_t &opt, const detector_t *detector,
                      std::vector<work_t> &work, const std::vector<row_t> &rows,
                      const std::vector<std::string> &tags, const std::string &results_dir) {
    std::mutex queue_lock, error_lock;
    std::condition_variable window_freed;
    std::vector<bool> taken(work.size(), false);
    size_t left = work.size();
    bool window_busy = false;
    std::atomic<bool> stop{false};
    std::exception_ptr error;
    auto needs_window = [&](size_t i) { return !rows[work[i].row].p->serve.empty(); };
    // The first run not taken that can start now; work.size() once none is left or on a stop.
    auto take = [&]() {
        std::unique_lock<std::mutex> hold(queue_lock);
        for (;;) {
            if (stop || left == 0)
                return work.size();
            for (size_t i = 0; i < work.size(); ++i)
                if (!taken[i] && !(needs_window(i) && window_busy)) {
                    taken[i] = true;
                    --left;
                    window_busy = window_busy || needs_window(i);
                    return i;
                }
            window_freed.wait(hold);
        }
    };
    auto worker = [&]() {
        for (size_t i; (i = take()) < work.size();) {
            work_t &w = work[i];
            const program_t &p = *rows[w.row].p;
            try {
                std::cerr << tags[w.row] + ": run " + std::to_string(w.repeat) + " of " +
                                 std::to_string(opt.until_detected ? opt.until_detected
                                                                   : opt.repeat) +
                                 (detector ? std::string(" under ") + detector->name : "") + "...\n"
                          << std::flush;
                w.result.p = &p;
                run_once(opt, detector, w.result, w.repeat, results_dir);
            } catch (...) {
                std::lock_guard<std::mutex> hold(error_lock);
                if (!error)
                    error = std::current_exception();
                stop = true;
            }
            std::lock_guard<std::mutex> hold(queue_lock);
            window_busy = window_busy && !needs_window(i);
            window_freed.notify_all();
        }
    };
    std::vector<std::thread> helpers;
    for (int j = 1; j < opt.jobs && size_t(j) < work.size(); ++j)
        helpers.emplace_back(worker);
    worker();
    for (auto &t : helpers)
        t.join();
    if (error)
        std::rethrow_exception(error);
}

// The findings that apply to the programs in --bin; a fault in the ledger is the runner's.
static ledger_t runs_ledger(const run_settings_t &opt) {
    try {
        return applicable_ledger(opt.ledger, opt.bin);
    } catch (const std::exception &e) {
        throw runner_error(e.what());
    }
}

// The detector named `tool` (nullptr for none), once it is known to be able to run.
static const detector_t *usable_detector(const run_settings_t &opt, const std::string &tool) {
    const detector_t *detector = tool.empty() ? nullptr : find_detector(tool);
    if (!tool.empty() && !detector)
        throw runner_error("no detector " + tool);
    if (detector && !detector->needs_command.empty() &&
        find_in_path(detector->needs_command).empty())
        throw runner_error(detector->needs_command + " not found");
    if (opt.perturb && access(CORPUS_PERTURB_LIB, R_OK) != 0)
        throw runner_error(std::string("the schedule-noise library ") + CORPUS_PERTURB_LIB +
                           " cannot be read: build it (cmake --build --preset default)");
    return detector;
}

namespace {
// The work of a run of the corpus: a row and a progress tag per program of the shard, and its
// runs.
struct plan_t {
    std::vector<row_t> rows;
    std::vector<std::string> tags;
    std::vector<work_t> work;
};
} // namespace

// The work is every (program, repeat) pair, numbered program by program; a shard takes the
// pairs whose number modulo the shard count is its index - 1.
static plan_t plan_runs(const run_settings_t &opt, const detector_t *detector,
                        const std::vector<const program_t *> &programs,
                        const std::string &results_dir) {
    plan_t plan;
    for (size_t i = 0; i < programs.size(); ++i) {
        std::vector<int> repeats;
        for (int k = opt.first_repeat; k < opt.first_repeat + opt.repeat; ++k)
            if (in_shard(opt.shard, i * size_t(opt.repeat) + size_t(k - 1)))
                repeats.push_back(k);
        if (repeats.empty())
            continue;
        row_t row;
        row.p = programs[i];
        const std::string tag = "[" + std::to_string(i + 1) + "/" +
                                std::to_string(programs.size()) + "] " + row.p->name;
        if (runnable(opt, detector, row, tag)) {
            // Runs of an earlier invocation would mix with these.
            if (opt.first_repeat == 1)
                remove_all((fs::path(results_dir) / "runs" / row.p->name).string());
            for (int k : repeats)
                plan.work.push_back({plan.rows.size(), k, row_t{}});
        }
        plan.rows.push_back(std::move(row));
        plan.tags.push_back(tag);
    }
    return plan;
}

// Starts the Xvfb when a program of the work has a window. It comes from this thread: a child
// that the kernel ties to its parent thread (PR_SET_PDEATHSIG) would die with a helper thread
// of make_runs.
static void start_display(const plan_t &plan, const std::string &results_dir) {
    for (const auto &w : plan.work)
        if (!plan.rows[w.row].p->serve.empty()) {
            const std::string log = (fs::path(results_dir) / "xvfb.log").string();
            if (start_xvfb(log).empty())
                throw runner_error("Xvfb did not start (see " + log + ")");
            return;
        }
}

std::vector<row_t> run_programs(const run_settings_t &opt, const std::string &tool,
                                const std::vector<const program_t *> &programs,
                                const std::string &results_dir) {
    const detector_t *detector = usable_detector(opt, tool);
    plan_t plan;
    try {
        plan = plan_runs(opt, detector, programs, results_dir);
        start_display(plan, results_dir);
        make_runs(opt, detector, plan.work, plan.rows, plan.tags, results_dir);
    } catch (...) {
        stop_xvfb();
        throw;
    }
    stop_xvfb();
    const ledger_t ledger = runs_ledger(opt);
    // The runs go into their rows in order, so that the table does not depend on which run
    // ended first.
    for (auto &w : plan.work)
        add_runs(plan.rows[w.row], w.result);
    for (size_t i = 0; i < plan.rows.size(); ++i) {
        if (plan.rows[i].missing)
            continue;
        finish_row(plan.rows[i], tool, ledger);
        std::cerr << plan.tags[i] << ": " << plan.rows[i].verdict << "\n";
    }
    return std::move(plan.rows);
}

std::vector<row_t> run_until_detected(const run_settings_t &opt, const std::string &tool,
                                      const std::vector<const program_t *> &programs,
                                      const std::string &results_dir) {
    std::vector<row_t> rows;
    for (const program_t *p : programs) {
        row_t row;
        for (int k = 1; k <= opt.until_detected; ++k) {
            run_settings_t one = opt;
            one.repeat = 1;
            one.first_repeat = k;
            row_t part = run_programs(one, tool, {p}, results_dir).at(0);
            if (k == 1)
                row = part;
            else
                add_runs(row, part);
            if (part.missing || part.runs == 0)
                break;
            if (!part.runs_with_reports.empty()) {
                row.runs_to_detection = k;
                break;
            }
        }
        rows.push_back(std::move(row));
    }
    const ledger_t ledger = runs_ledger(opt);
    for (auto &row : rows)
        finish_row(row, tool, ledger);
    return rows;
}
