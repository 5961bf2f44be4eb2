// Running programs: child processes with a time limit, the loopback HTTP server and the
// virtual X server that download_progress needs, and the screenshot of a window.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

struct process_result_t {
    bool exited = false;
    int status = -1;
    int signal = 0;
    bool timed_out = false;
    bool stopped = false; // `stop_when` became true and the runner ended the process
    int interrupted = 0;  // the runner got this signal during the run and ended the process
    double seconds = 0;   // until the end, or until `stop_when` became true
    long peak_kib = 0;    // peak resident memory of the process
};

struct run_request_t {
    std::vector<std::string> argv;          // argv[0] is a path or a name looked up in PATH
    std::string dir;                        // working directory
    std::map<std::string, std::string> env; // added to the runner's environment
    std::string out_path, err_path;         // where standard output and error go
    double timeout_seconds = 60;
    // Polled while the process runs; when it returns true, `before_stop` runs and the process
    // is ended with SIGTERM.
    std::function<bool()> stop_when;
    std::function<void(int pid)> before_stop;
};

// Runs the request to its end. Standard output and error files are opened before the process
// starts: a path that cannot be written is a runner_error, not a failed run.
process_result_t run_process(const run_request_t &req);

// Makes SIGINT, SIGTERM and SIGHUP end the running program's process group and then the
// runner's work (see interrupted_by), instead of killing the runner outright.
void catch_interruptions();

// The signal that interrupted the runner, or 0.
int interrupted_by();

// Makes the runner the reaper of every process its runs start, so that none can escape by
// leaving its process group or session.
void become_subreaper();

// Kills every remaining descendant of the runner (but for its Xvfb) and reaps it.
void kill_strays();

// Runs a helper command to completion and returns its standard output ("" on failure).
std::string capture_output(const std::vector<std::string> &argv,
                           const std::map<std::string, std::string> &env, double timeout_seconds);

// A minimal HTTP/1.0 server on 127.0.0.1 that answers every GET with `body`.
// Returns the port, or -1 when it cannot start.
int start_http_server(const std::string &body);
void stop_http_server();

// Starts Xvfb on a free display once per process; returns the display (":N") or "".
std::string start_xvfb(const std::string &log_path);
void stop_xvfb();

// Saves a PNG screenshot of the visible window of process `pid` (or of the whole screen when
// the window cannot be found). Returns false when nothing could be saved.
bool save_window_shot(int pid, const std::string &display, const std::string &path);

// Full path of `name` found in PATH, or "" when absent.
std::string find_in_path(const std::string &name);
