#include "run_program.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
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

std::vector<char *> c_strings(std::vector<std::string> &strings) {
    std::vector<char *> v;
    for (auto &s : strings)
        v.push_back(s.data());
    v.push_back(nullptr);
    return v;
}

// The test's environment with `opts.env` applied (empty values removed) and `opts.preload`
// added.
static std::vector<std::string> child_environment(const run_options_t &opts) {
    std::map<std::string, std::string> vars;
    for (char **e = environ; *e; ++e) {
        const char *eq = strchr(*e, '=');
        if (eq)
            vars[std::string(*e, eq - *e)] = eq + 1;
    }
    for (const auto &[k, v] : opts.env)
        vars[k] = v;
    if (!opts.preload.empty()) {
        std::string list;
        for (const auto &lib : opts.preload)
            list += (list.empty() ? "" : ":") + lib;
        vars["LD_PRELOAD"] = list;
        // A sanitizer runtime insists on coming first; the preloaded library only wraps a few
        // calls and does not disturb it. The options already given stay in force.
        std::string &asan = vars["ASAN_OPTIONS"];
        asan += (asan.empty() ? "" : ":") + std::string("verify_asan_link_order=0");
    }
    std::vector<std::string> list;
    for (const auto &[k, v] : vars)
        if (!v.empty())
            list.push_back(k + "=" + v);
    return list;
}

started_program_t start_program(const std::string &program, const run_options_t &opts) {
    started_program_t p;
    p.dir = opts.dir.empty() ? make_run_dir() : opts.dir;
    for (const auto &[name, bytes] : opts.files)
        write_file(p.dir + "/" + name, bytes);
    p.out_path = p.dir + "/.stdout";
    p.err_path = p.dir + "/.stderr";

    // Everything is prepared before the fork: the test may have other threads running, so the
    // child makes only async-signal-safe calls before exec.
    std::string exe = program_path(program);
    std::vector<std::string> argv_s{exe};
    argv_s.insert(argv_s.end(), opts.args.begin(), opts.args.end());
    std::vector<std::string> env_s = child_environment(opts);
    std::vector<char *> argv = c_strings(argv_s), envp = c_strings(env_s);

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error(std::string("fork: ") + strerror(errno));
    if (pid == 0) {
        // Own process group (so a kill reaches everything it started), ended with the test.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // Close-on-exec, so that only the three standard streams reach the program.
        int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        int out = open(p.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int err = open(p.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (chdir(p.dir.c_str()) != 0 || in < 0 || out < 0 || err < 0)
            _exit(127);
        int fds[3] = {in, out, err};
        for (int target = 0; target < 3; ++target) {
            if (fds[target] == target)
                fcntl(target, F_SETFD, 0); // already in place: keep it across exec
            else
                dup2(fds[target], target);
        }
        execve(exe.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    setpgid(pid, pid);
    p.pid = pid;
    return p;
}

run_result_t run_program(const std::string &program, const run_options_t &opts) {
    run_result_t r;
    started_program_t p = start_program(program, opts);
    r.dir = p.dir;

    int wstatus = 0;
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        pid_t w = waitpid(p.pid, &wstatus, WNOHANG);
        if (w == p.pid)
            break;
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec >= opts.timeout_seconds) {
            r.timed_out = true;
            kill(-p.pid, SIGKILL);
            waitpid(p.pid, &wstatus, 0);
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
    r.out = read_file(p.out_path);
    r.err = read_file(p.err_path);
    unlink(p.out_path.c_str());
    unlink(p.err_path.c_str());
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
