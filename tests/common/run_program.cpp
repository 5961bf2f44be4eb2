#include "run_program.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

std::string program_path(const std::string &name) {
    if (name.find('/') != std::string::npos)
        return name;
    return std::string(CORPUS_PROGRAM_DIR) + "/" + name;
}

std::string fault_library_path() {
    return CORPUS_FAULT_LIBRARY;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool file_exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

static void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

run_result_t run_program(const std::string &program, const run_options_t &opts) {
    run_result_t r;
    // Runs live under the build tree, so that they go away with it.
    mkdir(CORPUS_TEST_TMP, 0755);
    std::string tmpl = std::string(CORPUS_TEST_TMP) + "/run-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error(std::string("mkdtemp: ") + strerror(errno));
    r.dir = tmpl;
    for (const auto &[name, bytes] : opts.files)
        write_file(r.dir + "/" + name, bytes);

    std::string exe = program_path(program);
    std::string out_path = r.dir + "/.stdout", err_path = r.dir + "/.stderr";
    std::vector<std::string> argv_s{exe};
    argv_s.insert(argv_s.end(), opts.args.begin(), opts.args.end());

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error(std::string("fork: ") + strerror(errno));
    if (pid == 0) {
        // Child: own process group (so a timeout kills everything it started), fresh cwd.
        setpgid(0, 0);
        if (chdir(r.dir.c_str()) != 0)
            _exit(127);
        int in = open("/dev/null", O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0)
            _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (const auto &[k, v] : opts.env)
            setenv(k.c_str(), v.c_str(), 1);
        if (!opts.preload.empty()) {
            std::string list;
            for (const auto &lib : opts.preload)
                list += (list.empty() ? "" : ":") + lib;
            setenv("LD_PRELOAD", list.c_str(), 1);
            // A sanitizer runtime insists on coming first; the preloaded library only wraps
            // a few calls and does not disturb it.
            setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
        }
        std::vector<char *> argv;
        for (auto &a : argv_s)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    setpgid(pid, pid);

    int wstatus = 0;
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        pid_t w = waitpid(pid, &wstatus, WNOHANG);
        if (w == pid)
            break;
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec >= opts.timeout_seconds) {
            r.timed_out = true;
            kill(-pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            break;
        }
        usleep(2000);
    }
    if (WIFEXITED(wstatus)) {
        r.exited = true;
        r.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        r.signal = WTERMSIG(wstatus);
    }
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    unlink(out_path.c_str());
    unlink(err_path.c_str());
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
