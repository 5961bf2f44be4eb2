#include "run_program.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

std::string program_path(const std::string &name) {
    if (name.find('/') != std::string::npos)
        return name;
    return std::string(CORPUS_PROGRAM_DIR) + "/" + name;
}

std::string fault_library_path() {
    return CORPUS_FAULT_LIBRARY;
}

bool file_exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Writes a seed file, making the folders on its path ("a/b/name").
static void write_file(const std::string &path, const std::string &bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::string make_run_dir() {
    // Runs live under the build tree, so that they go away with it.
    mkdir(CORPUS_TEST_TMP, 0755);
    std::string tmpl = std::string(CORPUS_TEST_TMP) + "/run-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error(std::string("mkdtemp: ") + strerror(errno));
    return tmpl;
}

// The request for `program` under `opts`, its output going to files in `dir`.
static run_request_t request_for(const std::string &program, const run_options_t &opts,
                                 const std::string &dir) {
    run_request_t req;
    req.argv = {program_path(program)};
    req.argv.insert(req.argv.end(), opts.args.begin(), opts.args.end());
    req.dir = dir;
    req.out_path = dir + "/.stdout";
    req.err_path = dir + "/.stderr";
    req.timeout_seconds = opts.timeout_seconds;
    for (const auto &[k, v] : opts.env) {
        if (v.empty())
            req.unset.push_back(k);
        else
            req.env[k] = v;
    }
    if (!opts.preload.empty()) {
        std::string list;
        for (const auto &lib : opts.preload)
            list += (list.empty() ? "" : ":") + lib;
        req.env["LD_PRELOAD"] = list;
        // A sanitizer runtime insists on coming first; the preloaded library only wraps a few
        // calls and does not disturb it. The options already given stay in force.
        const char *inherited = getenv("ASAN_OPTIONS");
        auto given = opts.env.find("ASAN_OPTIONS");
        std::string asan = given != opts.env.end() ? given->second : inherited ? inherited : "";
        req.env["ASAN_OPTIONS"] = asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0";
    }
    return req;
}

// A new run directory, or the one asked for, seeded with `opts.files`.
static std::string seeded_dir(const run_options_t &opts) {
    std::string dir = opts.dir.empty() ? make_run_dir() : opts.dir;
    for (const auto &[name, bytes] : opts.files)
        write_file(dir + "/" + name, bytes);
    return dir;
}

started_program_t start_program(const std::string &program, const run_options_t &opts) {
    started_program_t p;
    p.dir = seeded_dir(opts);
    run_request_t req = request_for(program, opts, p.dir);
    p.out_path = req.out_path;
    p.err_path = req.err_path;
    p.pid = start_process(req);
    return p;
}

run_result_t run_program(const std::string &program, const run_options_t &opts) {
    run_result_t r;
    r.dir = seeded_dir(opts);
    run_request_t req = request_for(program, opts, r.dir);
    process_result_t p = run_process(req);
    r.exited = p.exited;
    r.status = p.status;
    r.signal = p.signal;
    r.timed_out = p.timed_out;
    r.out = read_file(req.out_path);
    r.err = read_file(req.err_path);
    unlink(req.out_path.c_str());
    unlink(req.err_path.c_str());
    return r;
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::string cur;
    for (char ch : text) {
        if (ch == '\n') {
            lines.push_back(cur);
            cur.clear();
        } else {
            cur += ch;
        }
    }
    if (!cur.empty())
        lines.push_back(cur);
    return lines;
}

int count_lines(const std::string &text, const std::string &line) {
    int n = 0;
    for (const auto &l : split_lines(text))
        n += l == line;
    return n;
}

int count_prefixed(const std::string &text, const std::string &prefix) {
    int n = 0;
    for (const auto &l : split_lines(text))
        n += l.compare(0, prefix.size(), prefix) == 0;
    return n;
}
