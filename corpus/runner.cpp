#include "runner.h"

#include "files.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

static volatile sig_atomic_t interrupt_signal = 0;

static void on_interrupt(int sig) {
    interrupt_signal = sig;
}

void catch_interruptions() {
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
}

int interrupted_by() {
    return interrupt_signal;
}

void become_subreaper() {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
}

std::string find_in_path(const std::string &name) {
    if (name.find('/') != std::string::npos)
        return name;
    const char *path = getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string full = dir + "/" + name;
        if (access(full.c_str(), X_OK) == 0)
            return full;
    }
    return "";
}

static double now_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Everything the child needs is prepared before fork, so that the child only redirects and
// executes (the runner has a server thread).
struct exec_plan_t {
    std::string exe;
    std::vector<std::string> argv_s, env_s;
    std::vector<char *> argv, envp;
};

static void make_plan(exec_plan_t &p, const std::vector<std::string> &argv,
                      const std::map<std::string, std::string> &env) {
    p.exe = find_in_path(argv.at(0));
    p.argv_s = argv;
    std::map<std::string, std::string> all;
    for (char **e = environ; *e; ++e) {
        std::string kv = *e;
        size_t eq = kv.find('=');
        if (eq != std::string::npos)
            all[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto &[k, v] : env)
        all[k] = v;
    for (const auto &[k, v] : all)
        p.env_s.push_back(k + "=" + v);
    for (auto &a : p.argv_s)
        p.argv.push_back(a.data());
    p.argv.push_back(nullptr);
    for (auto &e : p.env_s)
        p.envp.push_back(e.data());
    p.envp.push_back(nullptr);
}

// In a child after fork: dies with the runner (so that a killed runner leaves nothing behind),
// and gives up at once when the runner is already gone.
static void die_with_parent(pid_t parent) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);
}

// In a child after fork: makes `fd` (opened close-on-exec) descriptor `to` of the program.
static void give_fd(int fd, int to) {
    if (fd == to)
        fcntl(fd, F_SETFD, 0);
    else
        dup2(fd, to);
}

static void end_group(pid_t pid) {
    kill(-pid, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        siginfo_t info{};
        if (waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0)
            return;
        usleep(10000);
    }
    kill(-pid, SIGKILL);
}

process_result_t run_process(const run_request_t &req) {
    process_result_t r;
    exec_plan_t plan;
    make_plan(plan, req.argv, req.env);
    if (plan.exe.empty()) {
        r.exited = true;
        r.status = 127;
        return r;
    }
    // Opened here, close-on-exec, so that a path the runner cannot write is its own failure.
    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int out = open(req.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int out_errno = errno;
    int err = open(req.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err_errno = errno;
    if (in < 0 || out < 0 || err < 0) {
        for (int fd : {in, out, err})
            if (fd >= 0)
                close(fd);
        if (in < 0)
            throw runner_error("cannot open /dev/null");
        throw runner_error("cannot write " + (out < 0 ? req.out_path : req.err_path) + ": " +
                           strerror(out < 0 ? out_errno : err_errno));
    }
    double start = now_seconds();
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        close(in);
        close(out);
        close(err);
        throw runner_error(std::string("cannot start a process: ") + strerror(errno));
    }
    if (pid == 0) {
        // Own process group, so that ending the run ends everything it started.
        setpgid(0, 0);
        die_with_parent(parent);
        if (chdir(req.dir.c_str()) != 0)
            _exit(127);
        give_fd(in, 0);
        give_fd(out, 1);
        give_fd(err, 2);
        // Nor any descriptor the runner itself was given without close-on-exec.
        close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
        execve(plan.exe.c_str(), plan.argv.data(), plan.envp.data());
        _exit(127);
    }
    setpgid(pid, pid);
    close(in);
    close(out);
    close(err);
    int wstatus = 0;
    struct rusage usage {};
    bool sent_stop = false;
    double stopped_at = 0;
    for (;;) {
        pid_t w = wait4(pid, &wstatus, WNOHANG, &usage);
        if (w == pid)
            break;
        if (interrupt_signal && !r.interrupted) {
            r.interrupted = interrupt_signal;
            end_group(pid);
            wait4(pid, &wstatus, 0, &usage);
            break;
        }
        if (!sent_stop && now_seconds() - start >= req.timeout_seconds) {
            r.timed_out = true;
            kill(-pid, SIGKILL);
            wait4(pid, &wstatus, 0, &usage);
            break;
        }
        if (!sent_stop && req.stop_when && req.stop_when()) {
            // The run's time is the time until its work was done, not until it was ended.
            stopped_at = now_seconds();
            if (req.before_stop)
                req.before_stop(pid);
            sent_stop = true;
            end_group(pid);
        }
        // Short runs are common, so poll finely at first to measure them closely.
        const double elapsed = now_seconds() - start;
        usleep(sent_stop ? 2000 : elapsed < 0.1 ? 1000 : elapsed < 1 ? 5000 : 20000);
    }
    r.seconds = (sent_stop ? stopped_at : now_seconds()) - start;
    r.peak_kib = usage.ru_maxrss;
    if (WIFEXITED(wstatus)) {
        r.exited = true;
        r.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        r.signal = WTERMSIG(wstatus);
        r.stopped = sent_stop && (r.signal == SIGTERM || r.signal == SIGKILL);
    }
    // Whatever the program started in its group goes with it; kill_strays takes the rest.
    kill(-pid, SIGKILL);
    return r;
}

// The processes whose parent is the runner.
static std::vector<pid_t> children() {
    std::vector<pid_t> kids;
    const pid_t self = getpid();
    DIR *proc = opendir("/proc");
    if (!proc)
        return kids;
    while (struct dirent *e = readdir(proc)) {
        char *end = nullptr;
        long pid = strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end)
            continue;
        std::string stat = read_file("/proc/" + std::string(e->d_name) + "/stat");
        size_t close_paren = stat.rfind(") ");
        if (close_paren == std::string::npos)
            continue;
        // After the name: state, then the parent's id.
        std::istringstream rest(stat.substr(close_paren + 2));
        std::string state;
        long ppid = 0;
        rest >> state >> ppid;
        if (ppid == self)
            kids.push_back(pid_t(pid));
    }
    closedir(proc);
    return kids;
}

static pid_t xvfb_pid = -1;

void kill_strays() {
    // A killed stray's own children become the runner's next; a few rounds take them all.
    for (int round = 0; round < 20; ++round) {
        bool any = false;
        for (pid_t kid : children()) {
            if (kid == xvfb_pid)
                continue;
            any = true;
            kill(kid, SIGKILL);
            waitpid(kid, nullptr, 0);
        }
        if (!any)
            return;
    }
}

std::string capture_output(const std::vector<std::string> &argv,
                           const std::map<std::string, std::string> &env, double timeout_seconds) {
    char tmpl[] = "/tmp/corpus-capture-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0)
        return "";
    close(fd);
    run_request_t req;
    req.argv = argv;
    req.dir = "/";
    req.env = env;
    req.out_path = tmpl;
    req.err_path = "/dev/null";
    req.timeout_seconds = timeout_seconds;
    process_result_t r = run_process(req);
    std::string out = read_file(tmpl);
    unlink(tmpl);
    return r.exited && r.status == 0 ? out : "";
}

// --- HTTP server ----------------------------------------------------------------------------

static std::thread server_thread;
static std::atomic<bool> server_stop{false};
static int server_socket = -1;

static void serve_one(int conn, const std::string &body) {
    // Read the request head; its content does not matter.
    std::string head;
    char buf[1024];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
        struct pollfd p {
            conn, POLLIN, 0
        };
        if (poll(&p, 1, 5000) <= 0)
            break;
        ssize_t n = read(conn, buf, sizeof buf);
        if (n <= 0)
            break;
        head.append(buf, size_t(n));
    }
    std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
                        "Content-Length: " +
                        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    size_t sent = 0;
    while (sent < reply.size()) {
        ssize_t n = send(conn, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += size_t(n);
    }
    close(conn);
}

int start_http_server(const std::string &body) {
    stop_http_server();
    server_socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server_socket < 0)
        return -1;
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (bind(server_socket, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(server_socket, 8) != 0 ||
        getsockname(server_socket, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        close(server_socket);
        server_socket = -1;
        return -1;
    }
    server_stop = false;
    server_thread = std::thread([body]() {
        while (!server_stop) {
            struct pollfd p {
                server_socket, POLLIN, 0
            };
            if (poll(&p, 1, 100) <= 0)
                continue;
            int conn = accept4(server_socket, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn >= 0)
                serve_one(conn, body);
        }
    });
    return ntohs(addr.sin_port);
}

void stop_http_server() {
    if (server_socket < 0)
        return;
    server_stop = true;
    server_thread.join();
    close(server_socket);
    server_socket = -1;
}

// --- Xvfb -----------------------------------------------------------------------------------

static std::string xvfb_display;

std::string start_xvfb(const std::string &log_path) {
    if (xvfb_pid > 0)
        return xvfb_display;
    std::string exe = find_in_path("Xvfb");
    if (exe.empty())
        return "";
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return "";
    const char *argv[] = {"Xvfb",       "-displayfd", "3",   "-screen", "0",
                          "640x480x24", "-nolisten",  "tcp", nullptr};
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return "";
    }
    if (pid == 0) {
        // Xvfb picks a free display and writes its number to descriptor 3.
        setpgid(0, 0);
        die_with_parent(parent);
        int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (log < 0 || in < 0)
            _exit(127);
        give_fd(in, 0);
        give_fd(log, 1);
        dup2(log, 2);
        give_fd(fds[1], 3);
        close_range(4, ~0U, CLOSE_RANGE_CLOEXEC);
        execv(exe.c_str(), const_cast<char **>(argv));
        _exit(127);
    }
    close(fds[1]);
    std::string number;
    char ch;
    struct pollfd p {
        fds[0], POLLIN, 0
    };
    while (poll(&p, 1, 15000) > 0 && read(fds[0], &ch, 1) == 1 && ch != '\n')
        number += ch;
    close(fds[0]);
    if (number.empty()) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return "";
    }
    xvfb_pid = pid;
    xvfb_display = ":" + number;
    return xvfb_display;
}

void stop_xvfb() {
    if (xvfb_pid <= 0)
        return;
    kill(xvfb_pid, SIGTERM);
    waitpid(xvfb_pid, nullptr, 0);
    xvfb_pid = -1;
}

bool save_window_shot(int pid, const std::string &display, const std::string &path) {
    std::map<std::string, std::string> env{{"DISPLAY", display}};
    std::string ids = capture_output(
        {"xdotool", "search", "--onlyvisible", "--pid", std::to_string(pid)}, env, 20);
    std::string id = ids.substr(0, ids.find('\n'));
    if (id.empty())
        id = "root";
    capture_output({"import", "-window", id, path}, env, 60);
    struct stat st;
    return stat(path.c_str(), &st) == 0 && st.st_size > 0;
}
